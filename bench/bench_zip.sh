# The ZIP library against Info-ZIP's zip and unzip (sourced by tools/bench.sh
# with an architecture selected). An archive of about 100 MB: 6,000 files of
# 1-16 KiB of text in 30 folders and three large files of 20 MiB (two of
# text, one of random bytes). Each side is timed from the shell: ours is
# arctool driving 7-zip32.dll under Wine (Wine's start included), theirs the
# tool run natively; one untimed run of each first, so both read from the
# page cache.

make_zip_bench_files() {
    local dir
    dir="$(prefix_temp_dir)/nimbra-bench-zip"
    [ -e "$dir.complete" ] && return 0
    echo "Creating about 100 MB of files in $dir (once)..."
    rm -rf "$dir"
    mkdir -p "$dir/data"
    (cd "$dir/data" && awk 'BEGIN {
        split("alpha beta gamma delta folder window search pattern copy move file view", w, " ");
        srand(11);
        for (i = 0; i < 6000; i++) {
            d = sprintf("d%02d", i % 30);
            if (!(d in made)) { system("mkdir -p " d); made[d] = 1 }
            name = sprintf("%s/small%04d.txt", d, i);
            size = 1024 + (i * 7919) % 15360; text = "";
            while (length(text) < size) text = text w[int(rand() * 12) + 1] " " int(rand() * 100000) "\n";
            printf "%s", text > name; close(name)
        } }')
    for k in 1 2; do
        awk -v k="$k" 'BEGIN { srand(k); for (n = 0; n < 400000; n++) printf "%d line of text %d\n", n, int(rand() * 1000000) }' |
            head -c 20971520 > "$dir/data/large$k.txt"
    done
    head -c 20971520 /dev/urandom > "$dir/data/large3.bin"
    touch "$dir.complete"
}

# zip_ratio LABEL OURS-ARGUMENTS... -- THEIRS-COMMAND...
zip_ratio() {
    local label=$1 ours theirs
    shift
    local -a mine=() other=()
    while [ "$1" != -- ]; do mine+=("$1"); shift; done
    shift
    other=("$@")
    "$wine" "$build/tests/arctool.exe" "$(winepath -w "$build/bin/7-zip32.dll")" SevenZip "${mine[@]}" >/dev/null 2>&1 || true
    "${other[@]}" >/dev/null 2>&1 || true
    ours=$(seconds_of "$wine" "$build/tests/arctool.exe" "$(winepath -w "$build/bin/7-zip32.dll")" SevenZip "${mine[@]}")
    theirs=$(seconds_of "${other[@]}")
    echo "zip $label: 7-zip32.dll $ours s, Info-ZIP $theirs s, both timed from the shell"
    awk -v a="$ours" -v b="$theirs" -v l="$label" 'BEGIN { printf "ratio zip-%s %.2f\n", l, a / b }'
}

zip_bench() {
    local dir w
    make_zip_bench_files
    dir="$(prefix_temp_dir)/nimbra-bench-zip"
    w=$(winepath -w "$dir")
    rm -f "$dir/ours.zip" "$dir/theirs.zip"
    # Creating: ours writes ours.zip, zip writes theirs.zip (each replaced per run).
    zip_ratio create run "a -r0 -tzip \"$w\\ours.zip\" \"$w\\\" \"data\\*\"" -- \
        bash -c "rm -f '$dir/theirs.zip' && cd '$dir' && zip -qr theirs.zip data"
    echo "zip sizes: ours $(stat -c %s "$dir/ours.zip") bytes, zip $(stat -c %s "$dir/theirs.zip") bytes"
    zip_ratio list list "$w\\theirs.zip" -- unzip -l "$dir/theirs.zip"
    zip_ratio extract run "x -aoa \"$w\\theirs.zip\" \"$w\\out-ours\\\"" -- unzip -qo "$dir/theirs.zip" -d "$dir/out-theirs"
    rm -rf "$dir/out-ours" "$dir/out-theirs" "$dir/ours.zip"
}

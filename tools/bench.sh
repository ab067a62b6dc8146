#!/usr/bin/env bash
# Builds, then runs every benchmark under Wine; each prints its ratios. Runs
# the i686 build where this machine runs 32-bit code, else x86_64; ARCH=
# chooses one, ARCH=all runs every architecture that runs here.
set -euo pipefail
source "$(dirname "$0")/env.sh"

if [ "${ARCH:-}" = all ]; then
    probe_arches
    arches=("${runnable[@]}")
else
    arches=("$(default_arch)")
fi
"$top/tools/build.sh" "${arches[@]}"

# The listing benchmark's 100,000 empty files, made from the shell straight
# into the prefix's temporary folder (through Wine this takes many minutes).
make_bench_files() {
    local dir
    dir="$(prefix_temp_dir)/nimbra-bench-100k"
    [ -e "$dir.complete" ] && return 0
    echo "Creating 100,000 test files in $dir (once)..."
    rm -rf "$dir"
    mkdir -p "$dir"
    (cd "$dir" && awk 'BEGIN { split("txt cpp h log dat", e, " ");
                               for (i = 0; i < 100000; i++) print "file" i "." e[i % 5 + 1] }' | xargs touch)
    touch "$dir.complete"
}

# The copy benchmark's files: 10,000 files of 1 to 16 KiB, and one file of
# 1 GiB, or less where the disk cannot hold it three times (the source, and
# the copy of each side while it is measured).
make_copy_files() {
    local base small large free_mib size_mib
    base=$(prefix_temp_dir)
    small="$base/nimbra-bench-copy-small"
    if [ ! -e "$small.complete" ]; then
        echo "Creating 10,000 files of 1-16 KiB in $small (once)..."
        rm -rf "$small"
        mkdir -p "$small"
        (cd "$small" && awk 'BEGIN { block = sprintf("%1024s", "");
                                     for (i = 0; i < 10000; i++) {
                                         name = sprintf("file%05d.dat", i);
                                         for (k = 0; k <= (i * 7919) % 16; k++) printf "%s", block > name;
                                         close(name) } }')
        touch "$small.complete"
    fi
    large="$base/nimbra-bench-copy-large"
    if [ ! -e "$large.complete" ]; then
        free_mib=$(df -Pm "$base" | awk 'NR == 2 { print $4 }')
        size_mib=$(( (free_mib - 512) / 3 ))
        [ "$size_mib" -gt 1024 ] && size_mib=1024
        if [ "$size_mib" -lt 16 ]; then
            echo "not enough free space for the large copy benchmark ($free_mib MiB free)" >&2
            size_mib=16
        fi
        echo "Creating a file of $size_mib MiB in $large (once)..."
        dd if=/dev/urandom of="$large" bs=1M count="$size_mib" status=none
        touch "$large.complete"
    fi
}

# The file search benchmark's tree: about 200 MB of text in 2,000 files of
# 100 KB below 20 folders; one file in 97 holds "NeedLe", one in 89 a word
# of a letter and four digits.
make_grep_files() {
    local dir
    dir="$(prefix_temp_dir)/nimbra-bench-grep"
    [ -e "$dir.complete" ] && return 0
    echo "Creating about 200 MB of text in $dir (once)..."
    rm -rf "$dir"
    mkdir -p "$dir"
    (cd "$dir" && awk 'BEGIN {
        split("alpha beta gamma delta folder window search pattern copy move file view", w, " ");
        srand(7);
        for (i = 0; i < 2000; i++) {
            d = sprintf("d%02d", i % 20);
            if (!(d in made)) { system("mkdir -p " d); made[d] = 1 }
            name = sprintf("%s/text%04d.txt", d, i);
            line = "";
            for (n = 0; n < 1600; n++) {
                line = "";
                for (k = 0; k < 10; k++) line = line w[int(rand() * 12) + 1] " ";
                if (n == 800 && i % 97 == 0) line = line "NeedLe";
                if (n == 900 && i % 89 == 0) line = line "q" (1000 + i);
                print line > name
            }
            close(name)
        } }')
    touch "$dir.complete"
}

# Seconds a command takes, from the shell.
seconds_of() {
    local start end
    start=$(date +%s.%N)
    "$@" >/tmp/nimbra-bench-grep.out 2>&1 || true
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

# The program's file search (bench_grep.exe, Wine's start included) against
# GNU grep -r -l -i with the same pattern, both timed from the shell, after
# one untimed run each so that both read the tree from the page cache.
grep_ratio() {
    local label=$1 pattern=$2 dir ours theirs ours_files theirs_files
    dir="$(prefix_temp_dir)/nimbra-bench-grep"
    "$wine" "$build/bench/bench_grep.exe" "$(winepath -w "$dir")" "$pattern" >/dev/null 2>&1 || true
    grep -r -l -i -e "$pattern" "$dir" >/dev/null 2>&1 || true
    ours=$(seconds_of "$wine" "$build/bench/bench_grep.exe" "$(winepath -w "$dir")" "$pattern")
    ours_files=$(sed -n 's/^files \([0-9]*\).*/\1/p' /tmp/nimbra-bench-grep.out | tr -d '\r')
    theirs=$(seconds_of grep -r -l -i -e "$pattern" "$dir")
    theirs_files=$(wc -l </tmp/nimbra-bench-grep.out)
    echo "grep $label: nimbra $ours s ($ours_files files), GNU grep $theirs s ($theirs_files files), timed from the shell"
    [ "$ours_files" = "$theirs_files" ] || echo "grep $label: the two found different files" >&2
    awk -v a="$ours" -v b="$theirs" -v l="$label" 'BEGIN { printf "ratio grep-%s %.2f\n", l, a / b }'
}

# The ZIP library against zip and unzip: zip_bench.
source "$top/bench/bench_zip.sh"

# Entering a ZIP of 20,000 entries (200 folders of 100 small files, made by
# zip once) as a folder, against the library's own listing in a plain loop;
# both inside one program under Wine.
archive_bench() {
    local dir
    dir="$(prefix_temp_dir)/nimbra-bench-archive"
    if [ ! -e "$dir.complete" ]; then
        echo "Creating a ZIP of 20,000 entries in $dir (once)..."
        rm -rf "$dir"
        mkdir -p "$dir/tree"
        (cd "$dir/tree" && awk 'BEGIN { for (d = 0; d < 200; d++) { dir = sprintf("d%03d", d); system("mkdir -p " dir);
                                   for (f = 0; f < 99; f++) { name = sprintf("%s/f%03d.txt", dir, f);
                                       print d, f > name; close(name) } } }')
        (cd "$dir/tree" && zip -qr ../big.zip .)
        touch "$dir.complete"
    fi
    "$wine" "$build/bench/bench_archive.exe" "$(winepath -w "$build/bin")" "$(winepath -w "$dir/big.zip")"
}

# The view benchmark makes windows: without a display, a private Xvfb.
xvfb_pid=""
cleanup() {
    stop_wineservers
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
[ -n "${DISPLAY:-}" ] || start_xvfb
for a in "${arches[@]}"; do
    select_arch "$a"
    start_wineserver
    make_bench_files
    make_copy_files
    make_grep_files
    for bench in "$build"/bench/*.exe; do
        # The file search takes its tree and pattern: timed below.
        [ "$(basename "$bench")" = bench_grep.exe ] && continue
        [ "$(basename "$bench")" = bench_archive.exe ] && continue
        echo "== $arch: $(basename "$bench")"
        "$wine" "$bench"
    done
    echo "== $arch: file search against GNU grep"
    grep_ratio literal needle
    grep_ratio class '[q-z][0-9][0-9][0-9][0-9]'
    echo "== $arch: ZIP library against Info-ZIP zip/unzip"
    zip_bench
    echo "== $arch: entering a ZIP as a folder"
    archive_bench

    wineserver -k >/dev/null 2>&1 || true
done

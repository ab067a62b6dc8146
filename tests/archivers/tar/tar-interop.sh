#!/usr/bin/env bash
# tar32.dll against the standard tools: what we write, tar, gzip, bsdtar and
# uncompress read back to the same bytes, names and times; what they write,
# we list and extract the same way.
source "$INTEROP_LIB"

tar32() { arc tar32.dll Tar "$@"; }
run() { tar32 run "$1" >"$work/last.out" 2>&1; }
# A match anywhere in a pipe's output. Unlike grep -q it reads to the end,
# so the writer never dies of a closed pipe (which pipefail would count).
has() { grep "$@" >/dev/null; }
q() { printf '"%s"' "$(winpath "$1")"; }
qd() { printf '"%s\\"' "$(winpath "$1")"; }

# The tree packed and compared: Japanese names, a name over 100 bytes, an
# empty file, a binary file, a read-only file, a nested folder.
src=$work/src
long="長いフォルダの名前がここにありますそしてまだ続きます/さらに深いところにあるとても長い名前のファイル.txt"
mkdir -p "$src/top/sub/深い" "$src/top/$(dirname "$long")"
echo hello >"$src/top/a.txt"
echo 日本語の中身 >"$src/top/日本語ファイル.txt"
: >"$src/top/empty"
head -c 300000 /dev/urandom >"$src/top/sub/b.bin"
echo deep >"$src/top/sub/深い/c.txt"
echo long >"$src/top/$long"
echo ro >"$src/top/readonly.txt"
chmod 444 "$src/top/readonly.txt"
find "$src" -exec touch -h -d '2021-03-04 05:06:07' {} +
touch -d '2019-01-02 03:04:05' "$src/top/a.txt"

# --- ours -> theirs ---------------------------------------------------------
for name in o.tar o.tgz o.tar.gz o.tar.Z o.taz; do
    sw="-c"
    [ "$name" = o.tar ] || sw="-c -z"
    if ! run "$sw $(q "$work/$name") $(qd "$src") \"top\\*\""; then fail "pack $name: $(cat "$work/last.out")"; continue; fi
    out=$work/x-$name
    mkdir -p "$out"
    case $name in
        *.Z|*.taz) uncompress -c <"$work/$name" | tar -xf - -C "$out" || fail "uncompress | tar -x of $name" ;;
        *) tar -xf "$work/$name" -C "$out" || fail "tar -x of $name" ;;
    esac
    same_tree "$src/top" "$out/top" times && pass "tar extracts our $name identically" || fail "tree of $name differs"
done
gzip -t "$work/o.tgz" && pass "gzip -t accepts our .tgz" || fail "gzip -t o.tgz"
tar -tvf "$work/o.tar" | has "^-r--r--r-- .* top/readonly.txt$" && pass "read-only file packed as mode 444" || fail "mode of readonly.txt: $(tar -tvf "$work/o.tar" | grep readonly)"
bsdtar -tf "$work/o.tar" | has -x "top/$long" && pass "bsdtar reads our long name" || fail "bsdtar -tf o.tar"
bsdtar -tf "$work/o.tgz" | has -x "top/sub/b.bin" && pass "bsdtar reads our .tgz" || fail "bsdtar -tf o.tgz"

# Single files: .gz and .Z hold one file.
run "-c -z $(q "$work/one.gz") $(qd "$src/top/sub") \"b.bin\"" || fail "pack one.gz: $(cat "$work/last.out")"
gzip -dc "$work/one.gz" | cmp - "$src/top/sub/b.bin" && pass "gzip -d reads our single .gz" || fail "one.gz differs"
run "-c -z $(q "$work/one.Z") $(qd "$src/top/sub") \"b.bin\"" || fail "pack one.Z: $(cat "$work/last.out")"
uncompress -c "$work/one.Z" | cmp - "$src/top/sub/b.bin" && pass "uncompress reads our single .Z" || fail "one.Z differs"
# Text compresses well: the code width grows to 16 bits and the table fills.
for i in $(seq 1 4000); do echo "line $i of a text that repeats $((i % 37)) times"; done >"$work/text.txt"
run "-c -z $(q "$work/text.Z") $(qd "$work") \"text.txt\"" || fail "pack text.Z"
uncompress -c "$work/text.Z" | cmp - "$work/text.txt" && pass "uncompress reads our .Z of a long text" || fail "text.Z differs"

# bzip2 is refused and nothing is created.
if run "-c -B $(q "$work/no.tar.bz2") $(qd "$src") \"top\\*\""; then fail "-B was accepted"; else
    [ -e "$work/no.tar.bz2" ] && fail "-B left a file" || pass "-B refused, nothing created"
fi

# --- theirs -> ours ---------------------------------------------------------
check_extract() {  # ARCHIVE TYPE WHAT [TREE]
    local archive=$1 type=$2 what=$3 tree=${4:-$src/top} out
    out=$(mktemp -d "$work/out.XXXX")
    local t
    t=$(tar32 type "$(winpath "$archive")" | tr -d '\r')
    [ "$t" = "$type" ] || fail "$what: type $t, not $type"
    if ! run "-x $(q "$archive") $(qd "$out")"; then fail "$what: extract: $(cat "$work/last.out")"; return; fi
    same_tree "$tree" "$out/top" times && pass "we extract $what identically" || fail "$what: tree differs"
}
for format in gnu ustar pax; do
    tar --format=$format -cf "$work/t-$format.tar" -C "$src" top 2>/dev/null || { fail "tar --format=$format"; continue; }
    check_extract "$work/t-$format.tar" 1 "tar --format=$format"
done
# v7 holds neither long names nor more than 100 bytes: a smaller tree.
mkdir -p "$work/v7src/top"
cp -p "$src/top/a.txt" "$src/top/readonly.txt" "$work/v7src/top/"
cp -rp "$src/top/sub" "$work/v7src/top/"
tar --format=v7 -cf "$work/t-v7.tar" -C "$work/v7src" top
check_extract "$work/t-v7.tar" 1 "tar --format=v7" "$work/v7src/top"
# "tar -C folder ." starts with the entry "./": it is the destination itself.
tar -cf "$work/t-dot.tar" -C "$src" .
check_extract "$work/t-dot.tar" 1 "a tar of \".\""
[ "$(tar32 list "$(winpath "$work/t-dot.tar")" | head -n 1 | cut -f 1 | tr -d '\r')" = 'top\' ] \
    && pass "\"./\" is not listed" || fail "the listing of t-dot.tar starts with $(tar32 list "$(winpath "$work/t-dot.tar")" | head -n 1)"
tar -czf "$work/t.tgz" -C "$src" top
check_extract "$work/t.tgz" 2 "tar czf"
# compress says 2 when its output grew (random data does): not a failure.
tar -cf - -C "$src" top | { compress -c || [ $? -eq 2 ]; } >"$work/t.tar.Z"
check_extract "$work/t.tar.Z" 3 "tar | compress"
bsdtar --format pax -cf "$work/t-bsd.tar" -C "$src" top
check_extract "$work/t-bsd.tar" 1 "bsdtar pax"

# A listing: the long Japanese name, its size and time; the read-only file's attributes.
listing=$(tar32 list "$(winpath "$work/t-bsd.tar")" | tr -d '\r')
printf '%s\n' "$listing" | has -xF "top\\${long//\//\\}	5	20	$(stat -c %Y "$src/top/$long")" \
    && pass "the long Japanese name is listed with size and time" || fail "listing of the long name: $listing"
printf '%s\n' "$listing" | has -xF "top\\readonly.txt	3	21	$(stat -c %Y "$src/top/readonly.txt")" \
    && pass "mode 444 lists as read-only" || fail "listing of readonly.txt"
printf '%s\n' "$listing" | has -x 'top\\sub\\	0	10	[0-9]*' && pass "a folder lists with the directory attribute" || fail "folder entry"

# Single files by gzip and compress: named after the archive (or the stored name).
cp "$src/top/sub/b.bin" "$work/single.bin"
gzip -c "$work/single.bin" >"$work/renamed.gz"
gzip -n -c "$work/single.bin" >"$work/nameless.gz"
compress -c "$work/single.bin" >"$work/single.bin.Z"
for a in renamed.gz:4:single.bin nameless.gz:4:nameless single.bin.Z:5:single.bin; do
    IFS=: read -r archive type name <<<"$a"
    t=$(tar32 type "$(winpath "$work/$archive")" | tr -d '\r')
    [ "$t" = "$type" ] || fail "$archive: type $t, not $type"
    tar32 list "$(winpath "$work/$archive")" | tr -d '\r' | has "^$name	300000	" || fail "$archive: listing $(tar32 list "$(winpath "$work/$archive")")"
    out=$(mktemp -d "$work/out.XXXX")
    run "-x $(q "$work/$archive") $(qd "$out")" && cmp -s "$out/$name" "$work/single.bin" \
        && pass "$archive extracts as $name" || fail "$archive extract: $(cat "$work/last.out"); $(ls "$out")"
done
# compress restarts its table (a clear code, then padding to the end of its
# group of codes) when text turns into noise and back.
{ seq -f 'line %g of text' 1 30000; head -c 600000 /dev/urandom; seq -f 'again %g' 1 30000; } >"$work/mixed.bin"
{ compress -c "$work/mixed.bin" || [ $? -eq 2 ]; } >"$work/mixed.bin.Z"
out=$(mktemp -d "$work/out.XXXX")
run "-x $(q "$work/mixed.bin.Z") $(qd "$out")" && cmp -s "$out/mixed.bin" "$work/mixed.bin" \
    && pass "a .Z with a table restart extracts identically" || fail "mixed.bin.Z: $(cat "$work/last.out")"

# Several gzip members make one file.
{ gzip -c "$src/top/a.txt"; gzip -c "$src/top/sub/深い/c.txt"; } >"$work/multi.gz"
out=$(mktemp -d "$work/out.XXXX")
run "-x $(q "$work/multi.gz") $(qd "$out")" && [ "$(cat "$out/a.txt")" = "$(printf 'hello\ndeep')" ] \
    && pass "a multi-member gzip extracts whole" || fail "multi.gz: $(ls "$out"): $(cat "$work/last.out")"

# The modules' one-item extraction: no folders, the item given with "/".
out=$(mktemp -d "$work/out.XXXX")
run "-x --use-directory=0 --display-dialog=0 $(q "$work/t.tgz") $(qd "$out") \"top/sub/深い/c.txt\"" \
    && [ "$(ls "$out")" = "c.txt" ] && cmp -s "$out/c.txt" "$src/top/sub/深い/c.txt" \
    && pass "one item extracts without its folders" || fail "item extraction: $(ls -R "$out"): $(cat "$work/last.out")"
run "-x --use-directory=0 $(q "$work/t.tgz") $(qd "$out") \"top/nothing.txt\"" && fail "a missing item counted as success" \
    || pass "a missing item is an error"

finish

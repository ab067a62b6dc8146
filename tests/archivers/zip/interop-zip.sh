#!/usr/bin/env bash
# 7-zip32.dll against the standard tools: archives we write are accepted by
# unzip and bsdtar with the same bytes, names and times; archives they write
# (ZIP64 ones, CP932 names, more than 65,535 entries) are read by us the same.
source "$INTEROP_LIB"

lib=7-zip32.dll
zip7() { arc "$lib" SevenZip "$@"; }
W() { winpath "$1"; }

# The source tree: a Japanese name, a folder, an empty file and an empty
# folder, a compressible file and one that does not compress, odd seconds.
src=$work/src
mkdir -p "$src/tree/sub/深い" "$src/tree/empty"
printf 'hello\n' > "$src/tree/a.txt"
: > "$src/tree/空.txt"
seq 1 20000 > "$src/tree/sub/numbers.txt"
head -c 70000 /dev/urandom > "$src/tree/sub/深い/乱数.bin"
printf 'x' > "$src/tree/sub/深い/日本語の名前.txt"
find "$src" -exec touch -d '2021-03-04 05:06:07' {} +
touch -d '2019-12-31 23:59:59' "$src/tree/sub/numbers.txt"

# ours -> theirs
ours=$work/ours.zip
if zip7 run "a -r0 -tzip \"$(W "$ours")\" \"$(W "$src")\\\" \"tree\\*\"" >/dev/null; then pass "pack"; else fail "pack"; fi
if unzip -tq "$ours" >/dev/null; then pass "unzip -t accepts ours"; else fail "unzip -t rejects ours"; fi
rm -rf "$work/u1" && mkdir "$work/u1"
if unzip -q "$ours" -d "$work/u1" && same_tree "$src/tree" "$work/u1/tree" times; then pass "unzip extracts ours identically"
else fail "unzip extraction of ours differs"; fi
[ -d "$work/u1/tree/empty" ] && pass "empty folder kept" || fail "empty folder lost"
if grep -qx 'tree/sub/深い/日本語の名前.txt' <<<"$(bsdtar -tf "$ours")"; then pass "bsdtar lists the Japanese name"
else fail "bsdtar does not list the Japanese name"; fi
# Deflate where it pays, stored where it does not.
# (Listings go to a variable first: "grep -q" in a pipe would cut the pipe short.)
verbose=$(unzip -v "$ours")
grep -q 'Defl:N.*tree/sub/numbers.txt' <<<"$verbose" && pass "text deflated" || fail "text not deflated"
grep -q 'Stored.*乱数.bin' <<<"$verbose" && pass "random data stored" || fail "random data not stored"

# Update: a changed file replaces its entry, the others stay.
printf 'changed\n' > "$src/tree/a.txt"
touch -d '2022-01-01 00:00:01' "$src/tree/a.txt"
mkdir -p "$src/more" && printf 'new\n' > "$src/more/new.txt"
zip7 run "a -r0 -tzip \"$(W "$ours")\" \"$(W "$src")\\\" \"tree\\a.txt\"" >/dev/null || fail "update pack"
zip7 run "a -r0 -tzip \"$(W "$ours")\" \"$(W "$src/more")\\\" \"new.txt\"" >/dev/null || fail "second update"
rm -rf "$work/u2" && mkdir "$work/u2" && unzip -q "$ours" -d "$work/u2"
if same_tree "$src/tree" "$work/u2/tree" times && cmp -s "$src/more/new.txt" "$work/u2/new.txt" &&
    [ "$(unzip -Z1 "$ours" | grep -c '^tree/a.txt$')" = 1 ]; then pass "update replaces and keeps"
else fail "update lost or doubled entries"; fi

# Several names come in a response file in the system code page, as the
# file manager writes it: a Japanese folder with all below it, and a file.
printf '"tree\\sub\\深い\\*"\r\n"tree\\a.txt"\r\n' | iconv -f UTF-8 -t CP932 > "$work/list.lst"
zip7 run "a -r0 -tzip \"$(W "$work/resp.zip")\" \"$(W "$src")\\\" @$(W "$work/list.lst")" >/dev/null || fail "pack from a response file"
names=$(unzip -Z1 "$work/resp.zip" | LC_ALL=C sort | tr '\n' ' ')
[ "$names" = "tree/a.txt tree/sub/深い/ tree/sub/深い/乱数.bin tree/sub/深い/日本語の名前.txt " ] && pass "response file" ||
    fail "response file gave: $names"

# theirs -> ours: zip -r, listed and extracted identically.
(cd "$src" && zip -qr "$work/theirs.zip" tree)
rm -rf "$work/o1" && mkdir "$work/o1"
if zip7 run "x \"$(W "$work/theirs.zip")\" \"$(W "$work/o1")\\\"" >/dev/null && same_tree "$src/tree" "$work/o1/tree" times &&
    [ -d "$work/o1/tree/empty" ]; then pass "ours extracts zip -r"
else fail "ours extracts zip -r differently"; fi
listing=$(zip7 list "$(W "$work/theirs.zip")" | tr -d '\r')
if grep -qP '^tree\\sub\\深い\\日本語の名前.txt\t1\t' <<<"$listing" && grep -qP '^tree\\empty\\\t0\t10\t' <<<"$listing" &&
    grep -qP '^tree\\sub\\numbers.txt\t108894\t20\t1577836799$' <<<"$listing"; then pass "listing of zip -r"
else fail "listing of zip -r: $listing"; fi

# One item without its folders, as the file manager copies one out.
rm -rf "$work/o2" && mkdir "$work/o2"
zip7 run "e -hide -aoa \"$(W "$work/theirs.zip")\" \"$(W "$work/o2")\\\" \"tree/sub/深い/乱数.bin\"" >/dev/null
if [ "$(ls "$work/o2")" = 乱数.bin ] && cmp -s "$work/o2/乱数.bin" "$src/tree/sub/深い/乱数.bin"; then pass "e takes one item"
else fail "e took $(ls "$work/o2")"; fi

# ZIP64 forced by zip, and bsdtar's zip format.
(cd "$src" && zip -qr -fz "$work/z64.zip" tree)
(cd "$src" && bsdtar --format zip -cf "$work/bsd.zip" tree)
for a in z64 bsd; do
    rm -rf "$work/o3" && mkdir "$work/o3"
    if zip7 run "x \"$(W "$work/$a.zip")\" \"$(W "$work/o3")\\\"" >/dev/null && same_tree "$src/tree" "$work/o3/tree" times; then
        pass "ours extracts $a"
    else fail "ours extracts $a differently"; fi
done
[ "$(zip7 type "$(W "$work/z64.zip")" | tr -d '\r')" = 1 ] && pass "type 1 for zip" || fail "type of zip"

# CP932 names without the UTF-8 flag: read in the system code page.
python3 - "$work/cp932.zip" <<'P'
import struct, sys, zlib
name, data = "ソース/表示.txt".encode("cp932"), b"shift-jis name"
crc, t, d = zlib.crc32(data), (3 << 11) | (4 << 5) | 3, (40 << 9) | (1 << 5) | 2
local = struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0, 0, t, d, crc, len(data), len(data), len(name), 0) + name + data
central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, 0, 0, t, d, crc, len(data), len(data),
                      len(name), 0, 0, 0, 0, 0x20, 0) + name
end = struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 1, 1, len(central), len(local), 0)
open(sys.argv[1], "wb").write(local + central + end)
P
rm -rf "$work/o4" && mkdir "$work/o4"
zip7 run "x \"$(W "$work/cp932.zip")\" \"$(W "$work/o4")\\\"" >/dev/null
[ "$(cat "$work/o4/ソース/表示.txt" 2>/dev/null)" = "shift-jis name" ] && pass "CP932 names" || fail "CP932 names: $(find "$work/o4")"

# More than 65,535 entries (stored, empty): theirs read by ours, ours by unzip.
python3 - "$work/many.zip" <<'P'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for i in range(70000):
        z.writestr("d/f%05d" % i, b"")
P
n=$(zip7 list "$(W "$work/many.zip")" | grep -c '^d')
[ "$n" = 70000 ] && pass "70000 entries listed" || fail "listed $n of 70000 entries"
mkdir -p "$work/manysrc/m" && (cd "$work/manysrc/m" && seq -f 'f%05g' 1 66000 | xargs touch)
zip7 run "a -r0 -tzip \"$(W "$work/manyours.zip")\" \"$(W "$work/manysrc")\\\" \"m\\*\"" >/dev/null || fail "pack 66000"
n=$(unzip -Z1 "$work/manyours.zip" 2>/dev/null | wc -l)
[ "$n" = 66001 ] && unzip -tq "$work/manyours.zip" >/dev/null && pass "66000 files packed with ZIP64" || fail "unzip sees $n entries"

# 7z: refused, nothing created.
zip7 run "a -r0 -t7z \"$(W "$work/x.7z")\" \"$(W "$src")\\\" \"tree\\*\"" >"$work/msg" 2>/dev/null && fail "7z pack succeeded"
grep -q '7z archives are not supported' "$work/msg" && [ ! -e "$work/x.7z" ] && pass "7z refused" || fail "7z: $(cat "$work/msg")"
printf '7z\xbc\xaf\x27\x1c\0\4rest' > "$work/sig.7z"
[ "$(zip7 type "$(W "$work/sig.7z")" | tr -d '\r')" = 2 ] && pass "type 2 for 7z" || fail "type of 7z"
zip7 list "$(W "$work/sig.7z")" >/dev/null 2>&1 && fail "7z opened" || pass "7z does not open"

finish

#!/usr/bin/env bash
# Unlha32.dll against the standard LZH tools: archives we write are tested
# and extracted by lhasa and jlha to the same bytes, names and times;
# archives jlha writes (every method and header level it offers) are
# extracted by us the same way; and our -lh5- stays within 10% of jlha's
# size on text.
source "$INTEROP_LIB"

lib=Unlha32.dll
ours() { arc "$lib" Unlha "$@"; }
W() { winpath "$1"; }

# jlha writes the system's multibyte names under a Japanese locale.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8

src=$work/src
mkdir -p "$src/フォルダ/sub" "$src/空"
printf 'hello\r\n' > "$src/a.txt"
seq 1 30000 > "$src/フォルダ/数字.txt"
head -c 5000 /dev/urandom > "$src/フォルダ/sub/bin.dat"
head -c 70000 /dev/zero > "$src/フォルダ/sub/zeros.dat"
: > "$src/empty.txt"
# Even seconds: level-0/1 headers keep DOS times.
touch -d '2021-03-04 05:06:08' "$src/a.txt" "$src/フォルダ/sub/bin.dat"
touch -d '2019-12-31 23:59:58' "$src/フォルダ/数字.txt" "$src/empty.txt" "$src/フォルダ/sub/zeros.dat"
names=(フォルダ a.txt empty.txt 空)

# CP932 names on disk (what lhasa writes) shown as UTF-8 again.
to_utf8() {
    python3 - "$1" <<'PY'
import os, sys
top = os.fsencode(sys.argv[1])
for folder, dirs, files in os.walk(top, topdown=False):
    for name in dirs + files:
        os.rename(os.path.join(folder, name), os.path.join(folder, name.decode("cp932").encode("utf-8")))
PY
}

# --- ours -> lhasa, jlha, ours (the names come in a response file, CP932)
response=$work/names.lst
for n in "${names[@]}"; do printf '"%s"\r\n' "$n"; done | iconv -f UTF-8 -t CP932 > "$response"
if ours run "u -d1 \"$(W "$work/ours.lzh")\" \"$(W "$src")\\\" @\"$(W "$response")\""; then
    pass "packed through a response file"
else
    fail "packing failed"
fi
if lhasa -t "$work/ours.lzh" >/dev/null 2>&1; then pass "lhasa tests our archive"; else fail "lhasa -t"; fi
mkdir "$work/lhasa"
(cd "$work/lhasa" && lhasa -x "$work/ours.lzh" >/dev/null 2>&1) || fail "lhasa -x"
to_utf8 "$work/lhasa"
if same_tree "$src" "$work/lhasa" times; then pass "lhasa extracts our archive identically"; else fail "lhasa's extraction differs"; fi
if jlha t "$work/ours.lzh" >/dev/null 2>&1; then pass "jlha tests our archive"; else fail "jlha t"; fi
if ours run "x -a1 -x1 -jsp3 \"$(W "$work/ours.lzh")\" \"$(W "$work/back")\\\"" >/dev/null &&
    same_tree "$src" "$work/back" times; then
    pass "our archive comes back whole"
else
    fail "our own round trip"
fi

# --- jlha -> ours, at each header level and method it offers
for method in c0o5 c1o6 c2o7 c2z c1o5; do
    rm -rf "$work/j.lzh" "$work/jx"
    (cd "$src" && jlha "$method" "$work/j.lzh" "${names[@]}" >/dev/null 2>&1) || { fail "jlha $method"; continue; }
    if ours run "x -a1 -x1 -jsp3 \"$(W "$work/j.lzh")\" \"$(W "$work/jx")\\\"" >/dev/null &&
        same_tree "$src" "$work/jx" times; then
        pass "jlha $method extracted identically"
    else
        fail "jlha $method archive"
    fi
done
listed=$(ours list "$(W "$work/j.lzh")" | cut -f1,2)
for line in $'a.txt\t7' $'empty.txt\t0' $'フォルダ\\数字.txt\t168894' $'フォルダ\\sub\\bin.dat\t5000' $'フォルダ\\sub\\zeros.dat\t70000'; do
    grep -qxF "$line" <<< "$listed" || fail "jlha's archive lists no \"$line\": $listed"
done

# --- one item: to memory (exact size) and to a folder without its path
size=$(stat -c %s "$src/フォルダ/数字.txt")
if ours mem "\"$(W "$work/ours.lzh")\" \"フォルダ/数字.txt\"" "$size" > "$work/mem.out" &&
    cmp -s "$work/mem.out" "$src/フォルダ/数字.txt"; then
    pass "extract to memory"
else
    fail "extract to memory"
fi
if ours run "e -y \"$(W "$work/ours.lzh")\" \"$(W "$work/one")\\\" \"フォルダ/sub/bin.dat\"" >/dev/null &&
    [ "$(ls "$work/one")" = bin.dat ] && cmp -s "$work/one/bin.dat" "$src/フォルダ/sub/bin.dat"; then
    pass "e extracts one item without its folders"
else
    fail "e of one item"
fi

# --- update: the same name is replaced, the others are kept
printf 'changed\r\n' > "$src/a.txt"
touch -d '2022-01-02 03:04:06' "$src/a.txt"
ours run "u -d1 \"$(W "$work/ours.lzh")\" \"$(W "$src")\\\" \"a.txt\"" >/dev/null || fail "update"
count=$(ours list "$(W "$work/ours.lzh")" | wc -l)
rm -rf "$work/back"
if [ "$count" = 8 ] && ours run "x -a1 -x1 \"$(W "$work/ours.lzh")\" \"$(W "$work/back")\\\"" >/dev/null &&
    same_tree "$src" "$work/back" times; then
    pass "update replaces a.txt and keeps the rest"
else
    fail "update: $count entries"
fi

# --- compression against jlha's -lh5- on a few hundred KB of varied text
corpus=$work/corpus.txt
top=$(cd "$(dirname "$0")/../../.." && pwd)
{
    cat /usr/share/common-licenses/GPL-3 /usr/share/common-licenses/Apache-2.0 2>/dev/null || true
    find "$top/archivers" "$top/lw" "$top/app" "$top/tests/archivers" \( -name '*.cpp' -o -name '*.h' -o -name '*.md' \) -print0 | sort -z | xargs -0 cat
    seq 1 20000 | sed 's/^/line number /'
} > "$work/all.txt"
head -c 600000 "$work/all.txt" > "$corpus"
mkdir "$work/measure"
cp "$corpus" "$work/measure/corpus.txt"
ours run "u -d1 \"$(W "$work/measure.lzh")\" \"$(W "$work/measure")\\\" \"corpus.txt\"" >/dev/null || fail "packing the corpus"
(cd "$work/measure" && jlha c2o5 "$work/jmeasure.lzh" corpus.txt >/dev/null 2>&1) || fail "jlha on the corpus"
a=$(stat -c %s "$work/measure.lzh")
b=$(stat -c %s "$work/jmeasure.lzh")
echo "text corpus $(stat -c %s "$corpus") bytes: ours $a, jlha $b ($((a * 1000 / b)) per mille)"
if [ $((a * 100)) -le $((b * 110)) ]; then pass "within 10% of jlha"; else fail "ours $a bytes against jlha $b"; fi
if lhasa -t "$work/measure.lzh" >/dev/null 2>&1; then pass "lhasa tests the corpus archive"; else fail "lhasa -t corpus"; fi

finish

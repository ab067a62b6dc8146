#!/usr/bin/env bash
# The archives the module tests open through the real libraries, made by
# the standard tools: a ZIP by zip, a .tgz by tar, an LZH by jlha, all of
# one small tree with Japanese names; a ZIP whose stored data is damaged,
# and files that only carry an archive's extension.
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir/src/tree/sub/深い"
printf 'hello\n' > "$dir/src/tree/日本語.txt"
seq 1 3000 > "$dir/src/tree/sub/numbers.txt"
printf 'deep\n' > "$dir/src/tree/sub/深い/d.txt"
find "$dir/src" -exec touch -d '2021-03-04 05:06:08' {} +
touch -d '2019-12-31 23:59:58' "$dir/src/tree/sub/numbers.txt"
export LC_ALL=ja_JP.UTF-8
(cd "$dir/src" && zip -qr ../real.zip tree)
(cd "$dir/src" && tar -czf ../real.tgz tree)
(cd "$dir/src" && jlha a ../real.lzh tree >/dev/null 2>&1)
# Stored, so that a changed byte of numbers.txt only fails its CRC.
(cd "$dir/src" && zip -q0r ../bad.zip tree)
python3 - "$dir/bad.zip" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
at = data.index(b'2999\n')
data[at] ^= 0x01
open(path, 'wb').write(data)
PY
for ext in zip tgz lzh; do printf 'not an archive\n' > "$dir/plain.$ext"; done

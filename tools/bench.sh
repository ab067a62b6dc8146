#!/usr/bin/env bash
# Builds, then runs every benchmark under Wine; each prints its ratios.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$top/tools/build.sh"

cleanup() {
    wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
ensure_prefix
wineserver -p
for bench in "$build"/bench/*.exe; do
    echo "== $(basename "$bench")"
    wine "$bench"
done

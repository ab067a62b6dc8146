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
    for bench in "$build"/bench/*.exe; do
        echo "== $arch: $(basename "$bench")"
        "$wine" "$bench"
    done
    wineserver -k >/dev/null 2>&1 || true
done

#!/usr/bin/env bash
# Builds, then runs every test executable under Wine on a private Xvfb
# display with one persistent wineserver; stops all it started.
set -euo pipefail
source "$(dirname "$0")/env.sh"

"$top/tools/build.sh"

xvfb_pid=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb
ensure_prefix
wineserver -p
# The first program of a session starts Wine's own services and desktop
# process; two test programs racing to be that first one can leave one of
# them hanging at exit. Start something small first.
timeout 60 wine cmd /c exit 0 >/dev/null 2>&1 || true
cd "$build"
ctest --output-on-failure -j 2 "$@"

#!/usr/bin/env bash
# Builds and starts nimbra.exe under Wine: the i686 build where this machine
# runs 32-bit code, else x86_64; ARCH=i686 or ARCH=x86_64 chooses. Without a
# display it starts Xvfb, waits for the program's window and saves a
# screenshot.
set -euo pipefail
source "$(dirname "$0")/env.sh"

run_arch=$(default_arch)
"$top/tools/build.sh" "$run_arch"
select_arch "$run_arch"
echo "Running the $arch build under $wine"

xvfb_pid=""
headless=0
if [ -z "${DISPLAY:-}" ]; then
    headless=1
    cleanup() {
        wineserver -k >/dev/null 2>&1 || true
        [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    }
    trap cleanup EXIT
    start_xvfb
fi
ensure_prefix

exe="$build/bin/nimbra.exe"
if [ $headless -eq 0 ]; then
    exec "$wine" "$exe" "$@"
fi

"$wine" "$exe" "$@" &
pid=$!
shot="$top/build/screenshot.png"
rm -f "$shot"
for _ in $(seq 1 100); do
    if ! kill -0 "$pid" 2>/dev/null; then
        break
    fi
    # Wine names the X window class after the program file.
    if xwininfo -root -tree 2>/dev/null | grep '("nimbra.exe"' | grep -qv 'Default IME'; then
        sleep 1
        import -window root "$shot" && echo "Screenshot of the program saved to $shot"
        # Nobody can use a window on a private display: the cleanup ends it.
        exit 0
    fi
    sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
    echo "The program runs but showed no window within 20 s; stopping it."
else
    wait "$pid" && rc=0 || rc=$?
    echo "nimbra.exe ended (exit code $rc) without showing a window."
fi

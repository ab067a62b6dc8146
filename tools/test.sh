#!/usr/bin/env bash
# Builds both architectures, then runs every test executable under Wine for
# each architecture this machine can execute (always x86_64; i686 where
# 32-bit code runs), on a private Xvfb display with one persistent
# wineserver per prefix; stops all it started. ARCH=i686 or ARCH=x86_64
# runs only that one. Extra arguments go to ctest.
#
# Without extra arguments (the whole of `make test`) it also runs the native
# fuzz targets of the parsers (tools/fuzz.sh --test: every committed finding
# and corpus input, then a few seconds of fuzzing each); NIMBRA_FUZZ_SECONDS
# sets those seconds, 0 leaves the fuzz part out.
set -euo pipefail
source "$(dirname "$0")/env.sh"

# With ARCH set only that build is made (quicker while working on one);
# without it both are, since both must always compile.
if [ -n "${ARCH:-}" ]; then
    "$top/tools/build.sh" "$ARCH"
else
    "$top/tools/build.sh"
fi

probe_arches
arches=("${runnable[@]}")
skipped=()
[ -n "$skip_note" ] && skipped+=("$skip_note")
if [ -n "${ARCH:-}" ]; then
    select_arch "$ARCH" >/dev/null
    if [[ " ${runnable[*]} " != *" $ARCH "* ]]; then
        echo "ARCH=$ARCH cannot run here: $skip_note" >&2
        exit 1
    fi
    for a in "${runnable[@]}"; do
        [ "$a" = "$ARCH" ] || skipped+=("$a (ARCH=$ARCH was asked for)")
    done
    arches=("$ARCH")
fi
summary="Architectures: running ${arches[*]}"
if [ ${#skipped[@]} -gt 0 ]; then
    summary="$summary; skipped $(IFS=';'; echo "${skipped[*]}")"
else
    summary="$summary; skipped none"
fi
echo "$summary"

xvfb_pid=""
cleanup() {
    stop_wineservers
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_xvfb
failed=()
for a in "${arches[@]}"; do
    select_arch "$a"
    echo "== $arch: tests under $wine"
    start_wineserver
    # The first program of a session starts Wine's own services and
    # desktop process; two test programs racing to be that first one can
    # leave one of them hanging at exit. Start something small first.
    timeout 60 "$wine" cmd /c exit 0 >/dev/null 2>&1 || true
    if ! (cd "$build" && ctest --output-on-failure -j 2 "$@"); then
        failed+=("$arch")
    fi
    wineserver -k >/dev/null 2>&1 || true
done
# The fuzz part needs no Wine, so it runs wherever the suites run.
fuzz_note="fuzz: not run (ctest arguments were given)"
fuzz_seconds=${NIMBRA_FUZZ_SECONDS:-5}
if [ $# -eq 0 ] && [ "$fuzz_seconds" != 0 ]; then
    if "$top/tools/fuzz.sh" --test "$fuzz_seconds"; then
        fuzz_note="fuzz: native parser targets passed"
    else
        fuzz_note="fuzz: native parser targets FAILED"
        failed+=("fuzz")
    fi
elif [ $# -eq 0 ]; then
    fuzz_note="fuzz: not run (NIMBRA_FUZZ_SECONDS=0)"
fi
echo "$summary"
echo "$fuzz_note"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "All tests passed on: ${arches[*]}"

#!/bin/sh
# Runs one GoogleTest program (under its emulator) for CTest and passes it
# only when all four hold: it exited with 0, GoogleTest's closing line says
# it passed, no test failed, and the program printed its end-of-run line
# (EndOfRun.cpp) on its way out. A program that crashes after its last test
# (at exit, in a destructor, in a leak report) or that never got to the end
# fails, whatever it printed before.
#
# A program that ends without having printed a single byte never reached
# its first test (GoogleTest flushes its banner before the first one starts):
# the emulator failed to start it. That has been seen once on a fresh Wine
# prefix, ending with 1 in a hundredth of a second. Such a start is tried
# once more, and the log says so; whatever the second attempt does is the
# verdict.
# Usage: run-gtest.sh PROGRAM [ARGUMENT]...
set -u
out=$(mktemp) || exit 2
status=$(mktemp) || exit 2

# Runs the program once: its output is shown as it comes (a run that times
# out still shows how far it got) and kept in $out; sets rc.
attempt() {
    : >"$status"
    { "$@"; echo $? >"$status"; } 2>&1 | tee "$out"
    rc=$(cat "$status")
    if [ -z "$rc" ]; then
        echo "run-gtest: no exit status was recorded"
        rc=1
    fi
}

attempt "$@"
if [ ! -s "$out" ]; then
    echo "run-gtest: the program ended with $rc without printing anything, before any test; starting it once more"
    attempt "$@"
fi
verdict=0
if [ "$rc" -ne 0 ]; then
    echo "run-gtest: the program exited with $rc"
    verdict=1
fi
if ! grep -q '^\[  PASSED  \]' "$out"; then
    echo "run-gtest: no closing line from GoogleTest: the program did not run to its end"
    verdict=1
fi
if ! grep -q '^nimbra-test: end of run$' "$out"; then
    echo "run-gtest: no end-of-run line: the program broke off on its way out"
    verdict=1
fi
if grep -q '^\[  FAILED  \]' "$out"; then
    verdict=1
fi
rm -f "$out" "$status"
exit "$verdict"

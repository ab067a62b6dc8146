#!/bin/sh
# Runs one GoogleTest program (under its emulator) for CTest and passes it
# only when all four hold: it exited with 0, GoogleTest's closing line says
# it passed, no test failed, and the program printed its end-of-run line
# (EndOfRun.cpp) on its way out. A program that crashes after its last test
# (at exit, in a destructor, in a leak report) or that never got to the end
# fails, whatever it printed before.
# Usage: run-gtest.sh PROGRAM [ARGUMENT]...
set -u
out=$(mktemp) || exit 2
status=$(mktemp) || exit 2
# Shown as it comes (a run that times out still shows how far it got).
{ "$@"; echo $? >"$status"; } 2>&1 | tee "$out"
rc=$(cat "$status")
rc=${rc:-1}
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

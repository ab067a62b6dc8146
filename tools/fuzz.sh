#!/usr/bin/env bash
# Builds the native fuzz targets of the parsers (tests/fuzz, clang with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) into
# build/fuzz and runs each of them.
#
#   tools/fuzz.sh [SECONDS]         fuzz every target SECONDS (default 60)
#   tools/fuzz.sh --test [SECONDS]  first replay every committed finding and
#                                   corpus input, then fuzz SECONDS (default 5)
#
# Fuzzing starts from the committed corpus (tests/fuzz/corpus/<target>) and
# grows a working copy of it in build/fuzz/corpus; the committed one is not
# touched. An input that crashes, trips a sanitizer, breaks a check of the
# target or hangs is a finding: it is copied to tests/fuzz/findings/<target>/
# (commit it, together with the fix; every run replays it) and the run fails.
# No Wine involved: runs the same on every machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

replay=0
if [ "${1:-}" = "--test" ]; then
    replay=1
    shift
fi
seconds=${1:-}
[ -n "$seconds" ] || { [ $replay -eq 1 ] && seconds=5 || seconds=60; }
case "$seconds" in
    ''|*[!0-9]*) echo "fuzz: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

build="$top/build/fuzz"
src="$top/tests/fuzz"
# A hang of this many seconds on one input is a finding.
timeout_per_input=10

if [ $replay -eq 1 ]; then
    echo "== fuzz: native parser targets (clang, libFuzzer + ASan + UBSan): replay findings and corpus, then fuzz ${seconds}s each"
else
    echo "== fuzz: native parser targets (clang, libFuzzer + ASan + UBSan): fuzz ${seconds}s each"
fi

# Configured on every run: a target whose source arrived since is picked up.
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$src" -B "$build" >"$build/configure.log" 2>&1 || {
    cat "$build/configure.log" >&2
    echo "fuzz: configuring the native targets failed" >&2
    exit 1
}
grep -h 'skipped' "$build/configure.log" | sed 's/^-- /fuzz: /' || true
nice -n 5 cmake --build "$build" -j 2 >"$build/build.log" 2>&1 || {
    tail -n 40 "$build/build.log" >&2
    echo "fuzz: building the native targets failed (full log: $build/build.log)" >&2
    exit 1
}
mapfile -t targets <"$build/targets.txt"

# Keeps the input libFuzzer left in artifacts as a finding of target.
keep_findings() {
    local target=$1 artifacts=$2 f kept=0
    mkdir -p "$src/findings/$target"
    for f in "$artifacts"/*; do
        [ -f "$f" ] || continue
        local name
        name="$(basename "$f")"
        cp "$f" "$src/findings/$target/$name"
        echo "fuzz: $target: finding kept as tests/fuzz/findings/$target/$name"
        kept=1
    done
    [ $kept -eq 1 ] || echo "fuzz: $target: failed without leaving an input (see the log above)"
}

summary=()
failed=()
for target in "${targets[@]}"; do
    exe="$build/$target"
    log="$build/$target.log"
    artifacts="$build/artifacts/$target"
    rm -rf "$artifacts"
    mkdir -p "$artifacts" "$src/corpus/$target" "$src/findings/$target"

    if [ $replay -eq 1 ]; then
        # Every committed input once, without fuzzing.
        inputs=()
        for f in "$src/findings/$target"/* "$src/corpus/$target"/*; do
            [ -f "$f" ] && [ "$(basename "$f")" != .keep ] && inputs+=("$f")
        done
        if [ ${#inputs[@]} -gt 0 ] && ! "$exe" -timeout=$timeout_per_input -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1; then
            grep -E 'ERROR|SUMMARY|check failed|Running:' "$log" | tail -n 20 || true
            echo "fuzz: $target: replaying the committed inputs FAILED (log: $log)"
            failed+=("$target (replay)")
            summary+=("$target: replay of ${#inputs[@]} inputs FAILED")
            continue
        fi
    fi

    # The working corpus starts from the committed one and keeps what it
    # learns between runs.
    work="$build/corpus/$target"
    mkdir -p "$work"
    cp -n "$src/corpus/$target"/* "$work/" 2>/dev/null || true
    status=0
    nice -n 5 "$exe" -max_total_time="$seconds" -timeout=$timeout_per_input -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
    [ -n "$runs" ] || runs="?"
    if [ $status -ne 0 ] || ls "$artifacts"/* >/dev/null 2>&1; then
        grep -E 'ERROR|SUMMARY|check failed|Test unit written' "$log" | tail -n 20 || true
        keep_findings "$target" "$artifacts"
        failed+=("$target")
        summary+=("$target: $runs executions in ${seconds}s, FINDING (log: $log)")
    else
        extra=""
        [ $replay -eq 1 ] && extra=", replayed ${#inputs[@]} committed inputs"
        summary+=("$target: $runs executions in ${seconds}s, no findings$extra")
    fi
done

echo "== fuzz summary"
for line in "${summary[@]}"; do
    echo "   $line"
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: FAILED: ${failed[*]}"
    exit 1
fi
echo "fuzz: all ${#targets[@]} targets passed (${targets[*]})"

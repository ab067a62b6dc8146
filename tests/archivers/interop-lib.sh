# Helpers of the interoperability scripts (sourced). The test runner gives
# NIMBRA_WINE (the emulator), ARCTOOL and ARCHIVER_DIR (where the libraries
# are), and runs the scripts inside its Wine prefix with LC_ALL=ja_JP.UTF-8.
set -euo pipefail

# A scratch folder removed at exit.
work=$(mktemp -d "${TMPDIR:-/tmp}/nimbra-interop.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
# fail MESSAGE: counts a failure and goes on, so one run shows them all.
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# Ends the script with the verdict.
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures failure(s)" >&2
        exit 1
    fi
    echo "all passed"
}

# The Windows form of a Unix path (Wine maps / to Z:).
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# arc LIBRARY PREFIX VERB ARGUMENT...: runs arctool on one library, e.g.
#   arc 7-zip32.dll SevenZip run "x \"$(winpath "$zip")\" \"$(winpath "$out")\\\""
#   arc tar32.dll Tar list "$(winpath "$tgz")"
arc() {
    local library=$1
    shift
    "$NIMBRA_WINE" "$ARCTOOL" "$(winpath "$ARCHIVER_DIR/$library")" "$@"
}

# same_tree A B: the two folders hold the same names with the same bytes
# (and, with "times", the same modification times to the second).
same_tree() {
    local a=$1 b=$2 what=${3:-}
    if ! diff -r "$a" "$b" >/dev/null; then
        diff -r "$a" "$b" | head -20 >&2
        return 1
    fi
    if [ "$what" = times ]; then
        local f
        while IFS= read -r -d '' f; do
            local rel=${f#"$a"/}
            [ -f "$b/$rel" ] || continue
            if [ "$(stat -c %Y "$f")" != "$(stat -c %Y "$b/$rel")" ]; then
                echo "time differs: $rel $(stat -c %Y "$f") $(stat -c %Y "$b/$rel")" >&2
                return 1
            fi
        done < <(find "$a" -type f -print0)
    fi
    return 0
}

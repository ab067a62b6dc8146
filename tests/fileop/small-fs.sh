#!/bin/sh
# The file systems of the file operation fault tests, made from the Unix side
# before the tests and removed after them (also after a failed or killed run,
# since setup clears what an earlier run left):
#   DIR/full  a 2 MiB tmpfs, for a destination that fills up (root only);
#   DIR/other a 64 MiB tmpfs, another file system than the Wine prefix's,
#             so that a job between them really crosses (root only);
#   DIR/ro    a read-only folder holding kept.txt and d/a.txt: a read-only
#             tmpfs as root, a folder without write permission otherwise.
# When one cannot be made, DIR/full.skip, DIR/other.skip or DIR/ro.skip
# says why. Cleanup
# also empties from the trash what the tests put there.
# Usage: small-fs.sh setup|cleanup DIR
set -u
action=$1
dir=$2

cleanup() {
    # The desktop's trash gets a copy of what a test tried to recycle from
    # the read-only folder (the original stays): drop those copies.
    trash=${XDG_DATA_HOME:-${HOME:-/root}/.local/share}/Trash
    if [ -d "$trash/info" ]; then
        grep -lF "Path=$dir/" "$trash/info/"*.trashinfo 2>/dev/null | while read -r info; do
            rm -rf "$trash/files/$(basename "$info" .trashinfo)" "$info"
        done
    fi
    for m in "$dir/full" "$dir/other" "$dir/ro"; do
        if mountpoint -q "$m" 2>/dev/null; then
            umount "$m" 2>/dev/null || umount -l "$m"
        fi
    done
    if [ -d "$dir" ]; then
        chmod -R u+w "$dir" 2>/dev/null
        rm -rf "$dir"
    fi
}

populate_ro() {
    printf 'kept before the job\n' >"$dir/ro/kept.txt"
    mkdir -p "$dir/ro/d"
    printf 'd/a before the job\n' >"$dir/ro/d/a.txt"
}

setup() {
    cleanup
    mkdir -p "$dir/full" "$dir/other" "$dir/ro"
    if [ "$(id -u)" != 0 ]; then
        echo "not root: cannot mount a small file system" >"$dir/full.skip"
        echo "not root: cannot mount another file system" >"$dir/other.skip"
        populate_ro
        chmod -R a-w "$dir/ro"
        return 0
    fi
    # Root writes through any permission: only a read-only mount stops it.
    if ! out=$(mount -t tmpfs -o size=2m nimbra-full "$dir/full" 2>&1); then
        echo "mount failed: $out" >"$dir/full.skip"
    fi
    if ! out=$(mount -t tmpfs -o size=64m nimbra-other "$dir/other" 2>&1); then
        echo "mount failed: $out" >"$dir/other.skip"
    fi
    if out=$(mount -t tmpfs -o size=1m nimbra-ro "$dir/ro" 2>&1); then
        populate_ro
        if ! out=$(mount -o remount,ro "$dir/ro" 2>&1); then
            echo "remount read-only failed: $out" >"$dir/ro.skip"
        fi
    else
        echo "mount failed: $out" >"$dir/ro.skip"
    fi
    echo "small file systems in $dir:"
    ls "$dir"
}

case "$action" in
setup) setup ;;
cleanup) cleanup ;;
*) echo "usage: $0 setup|cleanup DIR" >&2; exit 2 ;;
esac

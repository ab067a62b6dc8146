#!/usr/bin/env bash
# Configures (once) and builds the cross builds: both architectures, or the
# ones named (i686, x86_64).
set -euo pipefail
source "$(dirname "$0")/env.sh"
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=("${all_arches[@]}")
for a in "${arches[@]}"; do
    build_arch "$a"
done

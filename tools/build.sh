#!/usr/bin/env bash
# Configures (once) and builds the cross build in build/.
set -euo pipefail
source "$(dirname "$0")/env.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"

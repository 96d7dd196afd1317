#!/usr/bin/env bash
# Configures (once) and builds the plug-in, the maker's libraries, the host
# simulator and the tests into a build folder (default: build/).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$here/build}")
# The logs stay inside the build folder, out of the source tree.
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
fi
cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1 || { grep -E 'error|Error' -A3 "$build/build.log" | head -80; exit 1; }

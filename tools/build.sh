#!/usr/bin/env bash
# Configures (once) and builds both builds from the same sources into a build
# folder (default: build/):
#   BUILD/x86  the product: the i686 (PE32) plug-in, as it ships, with the
#              maker's libraries, the host simulator, the tools and the tests
#   BUILD/x64  the same for x86-64 (PE32+): the plug-in for 64-bit hosts, and
#              the build the suite runs where 32-bit programs cannot run
# Usage: tools/build.sh [DIR] [--arch x86|x64] [--target NAME]...
#   --arch    that build alone, for quick rounds
#   --target  only these CMake targets and what they need (the demo builds the
#             plug-in, the maker's libraries and the host simulator this way)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root="$here/build"
arches=(x86 x64)
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arches=("$2"); shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    *) root=$1; shift ;;
  esac
done
root=$(realpath -m "$root")
declare -A toolchain=([x86]=mingw-i686 [x64]=mingw-x86_64)
for arch in "${arches[@]}"; do
  [ -n "${toolchain[$arch]:-}" ] || { echo "build: unknown build '$arch' (x86 or x64)" >&2; exit 2; }
  build="$root/$arch"
  # The logs stay inside the build folder, out of the source tree.
  mkdir -p "$build"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$here/cmake/${toolchain[$arch]}.cmake" >"$build/configure.log" 2>&1 \
      || { cat "$build/configure.log"; exit 1; }
  fi
  cmake --build "$build" -j"$(nproc)" "${targets[@]}" >"$build/build.log" 2>&1 \
    || { echo "build: the $arch build failed ($build/build.log):" >&2; grep -E 'error|Error' -A3 "$build/build.log" | head -80; exit 1; }
done

#!/usr/bin/env bash
# The benchmark of the plug-in's own cost: sets the machine up, builds, makes
# its card scans (once) and prints figures for N = 30 and N = 300, side by
# side: Execute per card against the wire floor, thumbnails next to
# vipsthumbnail and ImageMagick, the host's memory, and where the time goes.
# It prints figures only; nothing passes or fails.
#
# Usage: tools/bench.sh [--build DIR] [--arch x86|x64] [--work DIR] [--sizes 30,300] [--no-build]
#                       [--no-window-manager]
#   --build DIR   build folder of tools/build.sh, holding x86/ and x64/ (default: build)
#   --arch ARCH   the build to measure (default: x86 where this machine runs
#                 32-bit programs, else x64)
#   --work DIR    scans, Wine prefix, stand-in, records (default: BUILD/bench)
#   --sizes LIST  stack sizes (default: 30,300)
#   --no-build    skip set-up and build (the build folder must be complete)
#   --no-window-manager  the display given in DISPLAY has none (without a
#                 display the benchmark starts a private Xvfb and knows it)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tools/build-first.sh
. "$here/tools/build-first.sh"
exec python3 "$here/tools/bench/run_bench.py" --build "$build" "${args[@]}"

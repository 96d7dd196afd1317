#!/usr/bin/env bash
# The main job: sets the machine up for the one build it runs, builds only the
# plug-in, the maker's libraries and the host simulator, starts the stand-in
# card and OCR services with the sample cards and a demo account, registers
# the plug-in for the current user and sends two scan jobs through the host
# simulator, then prints what the card service holds and each stage's time.
#
# Usage: tools/demo.sh [--keep-serving] [--build DIR] [--arch x86|x64] [--work DIR] [--no-build]
#   --keep-serving  keep the stand-in and its page of cards running until Ctrl-C
#   --build DIR     build folder of tools/build.sh, holding x86/ and x64/ (default: build)
#   --arch ARCH     the plug-in build to run (default: x86, the product, where this
#                   machine runs 32-bit programs; else x64)
#   --work DIR      the demo's own files, Wine prefix and stand-in (default: BUILD/demo)
#   --no-build      skip set-up and build (the build folder must hold what the demo runs)
# Everything else goes to tools/demo/run_demo.py (see its --help).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exec python3 "$here/tools/demo/run_demo.py" "$@"

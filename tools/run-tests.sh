#!/usr/bin/env bash
# Builds everything and runs every test under Wine (dialog tests under Xvfb).
# Usage: tools/run-tests.sh [build-dir] [extra ctest arguments...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$here/build}")
[ $# -gt 0 ] && shift

bash "$here/tools/setup.sh" >/dev/null
bash "$here/tools/build.sh" "$build"

export TESSARAN_WINEPREFIX="$build/wineprefix" WINEPREFIX="$build/wineprefix"
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One persistent wineserver for the whole run keeps each program start cheap;
# its output goes elsewhere so that it never holds a test's pipe open.
# Wine's service programs, started by the first Wine program, inherit its
# output too: start them here, before CTest captures any program's output.
wineserver -p >/dev/null 2>&1 </dev/null || true
wineboot -i >/dev/null 2>&1 </dev/null || true
# There is no window manager under Xvfb, and Wine waits up to 2 s for each
# managed window to be withdrawn when it closes; unmanaged windows close at
# once, which keeps the dialog tests fast.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# Python-side tests (the stand-in services) run first; they need no Wine.
if [ -d "$here/tools/standin" ]; then
  python3 -m unittest discover -s "$here/tools/standin" -p 'test_*.py' 2>"$build/python-tests.log" \
    || { cat "$build/python-tests.log"; exit 1; }
  echo "python tests: ok ($(grep -Eo 'Ran [0-9]+ tests?' "$build/python-tests.log"))"
fi

cd "$build"
# The dialog tests find and drive real windows, so their timing depends on how
# busy the machine is; a program gets one more run before it counts as failed
# (the first failure's output still shows).
if [ -n "${DISPLAY:-}" ]; then
  ctest --output-on-failure --repeat until-pass:2 "$@"
else
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure --repeat until-pass:2 "$@"
fi

#!/usr/bin/env bash
# Runs a Windows program under the project's own 32-bit Wine prefix, quietly.
# The prefix lives in the build tree (TESSARAN_WINEPREFIX, set by the test
# runner) so that tests never touch a user's own Wine set-up.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${TESSARAN_WINEPREFIX:-${WINEPREFIX:-$here/build/wineprefix}}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # wineserver inherits stdout; keep it off any caller's pipe.
  wineboot -i >/dev/null 2>&1 </dev/null
fi
exec wine "$@"

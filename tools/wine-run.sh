#!/usr/bin/env bash
# Runs a Windows program quietly in the project's own Wine prefix, with the
# loader that tools/wine-env.sh chooses for the program's build, so that
# tests never touch a user's own Wine set-up.
# The build (TESSARAN_WINE_ARCH: x86 or x64) and the prefix
# (TESSARAN_WINEPREFIX) come from the test runner; without them the x64
# build's prefix under build/ is used.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tools/wine-env.sh
. "$here/tools/wine-env.sh"
tessaran_wine "${TESSARAN_WINE_ARCH:-x64}" "${TESSARAN_WINEPREFIX:-$here/build/x64/wineprefix}" || exit 2
[ -f "$WINEPREFIX/system.reg" ] || tessaran_wine_prepare
exec "$TESSARAN_WINE" "$@"

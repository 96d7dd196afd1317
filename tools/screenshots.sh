#!/usr/bin/env bash
# Opens each of the plug-in's five dialogs under Xvfb, with sample contents,
# and writes a PNG of each into <build>/screenshots/:
#   201-settings.png  202-account-status.png  203-progress.png
#   204-logon.png     205-upload-result.png
# Usage: tools/screenshots.sh [build-dir]
# The dialogs come from the x86 build where this machine runs 32-bit programs,
# else from the x64 build (the templates are the same). Uses that build's Wine
# prefix; stops its wineserver first, so do not run it while tests of the same
# build folder run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=$(mkdir -p "${1:-$here/build}" && cd "${1:-$here/build}" && pwd)

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "${BASH_SOURCE[0]}" "$root"
fi

bash "$here/tools/build.sh" "$root"

# shellcheck source=tools/wine-env.sh
. "$here/tools/wine-env.sh"
arch=$(tessaran_arches | cut -d' ' -f1)
build="$root/$arch"
tessaran_wine "$arch" "$build/wineprefix"
# A server started for another display would keep this one from drawing.
tessaran_wine_stop
tessaran_wine_prepare
trap 'tessaran_wine_stop' EXIT
wine() { "$TESSARAN_WINE" "$@"; }

# Tool-side only: this machine has no "Meiryo UI", the dialogs' font. Wine's
# font replacement table maps it to the installed Japanese Noto font, so the
# pictures show Japanese text at the dialogs' sizes as closely as we can.
# (Its kana are full width, where Meiryo UI's are narrower, so a long line of
# Japanese takes more room here than on Windows.)
# The captions use Wine's caption font (Tahoma), which has no Japanese either.
for face in "Meiryo UI" "Tahoma"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "Noto Sans CJK JP" /f >/dev/null 2>&1 </dev/null
done

out="$root/screenshots"
mkdir -p "$out"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

shoot() {
  local id=$1 name=$2
  local ready="$out/.ready-$id" done="$out/.done-$id"
  rm -f "$ready" "$done"
  wine "$build/tools/dialogshow.exe" "$(winpath "$build/plugin/TessaranService.dll")" "$id" \
    "$(winpath "$ready")" "$(winpath "$done")" >"$out/.log-$id" 2>&1 </dev/null &
  local pid=$!
  for _ in $(seq 1 600); do
    [ -f "$ready" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -f "$ready" ]; then
    echo "dialog $id did not appear:" >&2
    cat "$out/.log-$id" >&2
    kill "$pid" 2>/dev/null || true
    return 1
  fi
  read -r left top width height <"$ready"
  import -window root -crop "${width}x${height}+${left}+${top}" +repage "$out/$id-$name.png"
  touch "$done"
  wait "$pid" || true
  rm -f "$ready" "$done" "$out/.log-$id"
  echo "$out/$id-$name.png (${width}x${height})"
}

shoot 201 settings
shoot 202 account-status
shoot 203 progress
shoot 204 logon
shoot 205 upload-result

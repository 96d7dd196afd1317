#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test the plug-in: the i686 cross
# compiler, widl, 32-bit Wine, Xvfb, picojson and a project-local Wine prefix.
# Idempotent: a machine that already has everything is done in a second or two.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine32:i386
          xvfb xauth picojson-dev cmake openssl imagemagick fonts-noto-cjk msitools wixl
          python3)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "setup: installing ${missing[*]} needs root" >&2; exit 1; }
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # The security archive ships amd64 builds newer than the i386 ones in the main
  # archive; Multi-Arch "same" packages must match, so keep it from winning here.
  pin=/etc/apt/preferences.d/tessaran-wine32
  if [ ! -f "$pin" ]; then
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' > "$pin"
  fi
  # One index may be mid-sync and make update exit non-zero; the rest are usable.
  apt-get update -qq || echo "setup: apt-get update reported a failure; going on" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Project-local 32-bit prefix, so tests never touch a user's own Wine set-up.
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # wineserver and Wine's services inherit stdout; keep them away from any caller's pipe.
  wineboot -i >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
fi
echo "setup: ready (WINEPREFIX=$WINEPREFIX)"

#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test the plug-in: both mingw-w64
# cross compilers (i686 and x86_64), widl, 64-bit Wine, and 32-bit Wine where
# this machine runs 32-bit programs; Xvfb, picojson, the image and installer
# tools the tests use.
# Idempotent: a machine that already has everything is done in a second or two.
#
# Usage: tools/setup.sh [--demo x86|x64]
#   --demo ARCH  only what the main job needs to build and run that build: its
#                cross compiler, widl, Wine, Xvfb, picojson, cmake, openssl
#                (the stand-in's certificate); the rest waits for the tests
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tools/wine-env.sh
. "$here/tools/wine-env.sh"

demo=""
if [ "${1:-}" = --demo ]; then
  demo=${2:-}
  case "$demo" in x86|x64) ;; *) echo "usage: tools/setup.sh [--demo x86|x64]" >&2; exit 2 ;; esac
fi

# Only the posix-thread compilers are used (the win32-thread ones lack
# std::thread); the plain g++-mingw-w64-* packages would bring both.
declare -A compiler=([x86]=g++-mingw-w64-i686-posix [x64]=g++-mingw-w64-x86-64-posix)
# googletest: the sources CMake configures the test programs from, even when
# only the plug-in is built.
needed_by_demo=(mingw-w64-tools libwine-dev wine64 xvfb xauth picojson-dev cmake make openssl python3 googletest)
if [ -n "$demo" ]; then
  packages=("${compiler[$demo]}" "${needed_by_demo[@]}")
else
  packages=("${compiler[x86]}" "${compiler[x64]}" "${needed_by_demo[@]}"
            imagemagick fonts-noto-cjk msitools wixl libvips-tools)
fi

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || echo "$p"
  done
}
need_root() {
  [ "$(id -u)" = 0 ] || { echo "setup: installing $* needs root" >&2; exit 1; }
}
apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

mapfile -t absent < <(missing "${packages[@]}")
if [ ${#absent[@]} -gt 0 ]; then
  need_root "${absent[@]}"
  # One index may be mid-sync and make update exit non-zero; the rest are usable.
  apt-get update -qq || echo "setup: apt-get update reported a failure; going on" >&2
  apt_install "${absent[@]}"
fi

# 32-bit Wine only where the kernel runs 32-bit programs; elsewhere it would
# install and never start. A failed attempt is not repeated for a day: the
# suite then runs the x64 build alone, and says so.
failed_mark=/var/cache/tessaran-wine32-unavailable
if [ "$demo" != x64 ] && tessaran_runs_32bit && [ -n "$(missing wine32:i386)" ] \
   && ! { [ -f "$failed_mark" ] && [ -n "$(find "$failed_mark" -mmin -1440 2>/dev/null)" ]; }; then
  need_root wine32:i386
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # The security archive ships amd64 builds newer than the i386 ones in the main
  # archive; Multi-Arch "same" packages must match, so keep it from winning here.
  pin=/etc/apt/preferences.d/tessaran-wine32
  [ -f "$pin" ] || printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"
  apt-get update -qq || echo "setup: apt-get update reported a failure; going on" >&2
  if apt_install wine32:i386 2>/dev/null; then
    rm -f "$failed_mark"
  else
    # Seen: the security archive's i386 index mid-sync while the machine
    # already has newer amd64 libraries from it.
    echo "setup: 32-bit Wine (wine32:i386) could not be installed; the tests run on the x64 build only" >&2
    touch "$failed_mark"
  fi
fi
echo "setup: ready; Windows programs of the build(s) $(tessaran_arches | sed 's/ / and /') run here"

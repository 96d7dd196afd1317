#!/usr/bin/env bash
# How this machine runs Windows programs: the one place that chooses Wine's
# loader, server and prefix kind for each build. Every script that starts a
# Windows program goes through here, directly or through tools/wine-run.sh.
#
# Sourced by shell scripts:
#   tessaran_runs_32bit          true when this machine runs 32-bit programs
#   tessaran_arches              the builds a run exercises: "x86 x64" or "x64"
#   tessaran_wine ARCH PREFIX    exports the environment for ARCH (x86 or x64)
#                                in PREFIX; then "$TESSARAN_WINE" runs programs
#   tessaran_wine_prepare        makes the prefix once and starts its server
#   tessaran_wine_stop           ends the prefix's server
# Run as a command (for Python and for people):
#   bash tools/wine-env.sh arches          prints the builds a run exercises
#   bash tools/wine-env.sh runs-32bit      prints yes or no (installed or not)
#   bash tools/wine-env.sh env ARCH PREFIX prints the environment as KEY=VALUE
#   bash tools/wine-env.sh prepare ARCH PREFIX
#   bash tools/wine-env.sh stop ARCH PREFIX

TESSARAN_WINE_DIR=/usr/lib/wine

# A 32-bit Linux program of 93 bytes that exits with 42: whether the kernel
# runs it is the question. Debian's wine32 installs where it cannot run, so
# its presence proves nothing.
tessaran_probe_32bit() {
  local probe status
  probe=$(mktemp "${TMPDIR:-/tmp}/tessaran-probe32.XXXXXX") || return 1
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'\
'\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'\
'\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80' >"$probe"
  chmod +x "$probe"
  ( "$probe" ) >/dev/null 2>&1
  status=$?
  rm -f "$probe"
  [ "$status" = 42 ] || return 1
  # An emulator registered for i386 binaries runs the probe, but far too
  # slowly for Wine (a prefix did not boot in minutes): that is no 32-bit.
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*i386* /proc/sys/fs/binfmt_misc/*i[3-6]86*; do
    [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null && return 1
  done
  return 0
}

# Probed once per run: the answer is handed down to every child.
tessaran_runs_32bit() {
  if [ -z "${TESSARAN_RUNS_32BIT:-}" ]; then
    if tessaran_probe_32bit; then TESSARAN_RUNS_32BIT=yes; else TESSARAN_RUNS_32BIT=no; fi
    export TESSARAN_RUNS_32BIT
  fi
  [ "$TESSARAN_RUNS_32BIT" = yes ]
}

# 32-bit Wine counts only where the machine runs it and it is installed.
tessaran_arches() {
  if tessaran_runs_32bit && [ -x "$TESSARAN_WINE_DIR/wine" ]; then echo "x86 x64"; else echo "x64"; fi
}

tessaran_wine() {
  local arch=$1 prefix=$2
  case "$arch" in
    x86)
      # A win32 prefix: the 32-bit loader and nothing of 64-bit Wine.
      export WINELOADER="$TESSARAN_WINE_DIR/wine" WINEARCH=win32 ;;
    x64)
      # Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is
      # installed, even where it cannot run, so the loader is named here.
      export WINELOADER="$TESSARAN_WINE_DIR/wine64" WINEARCH=win64 ;;
    *) echo "tessaran_wine: unknown build '$arch' (x86 or x64)" >&2; return 2 ;;
  esac
  local server
  for server in wineserver64 wineserver32 wineserver; do
    if [ -x "$TESSARAN_WINE_DIR/$server" ]; then export WINESERVER="$TESSARAN_WINE_DIR/$server"; break; fi
  done
  export TESSARAN_WINE="$WINELOADER" TESSARAN_WINE_ARCH="$arch"
  export WINEPREFIX="$prefix" TESSARAN_WINEPREFIX="$prefix"
  export WINEDEBUG="${WINEDEBUG:--all}"
  # No Mono or Gecko prompts: there is no network to fetch them from.
  export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
}

# The prefix is made once. The persistent server and Wine's service programs
# inherit their starter's output, so they are started here with theirs sent
# nowhere, before any caller captures a program's output.
tessaran_wine_prepare() {
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null || true
  "$WINELOADER" wineboot -i >/dev/null 2>&1 </dev/null || true
  # There is no window manager under Xvfb, and Wine waits up to 2 s for each
  # managed window to be withdrawn when it closes; unmanaged windows close at
  # once. Every prefix may show a dialog, so every prefix gets this.
  if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    "$WINELOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
  fi
}

tessaran_wine_stop() {
  "$WINESERVER" -k >/dev/null 2>&1 </dev/null || true
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    arches) tessaran_arches ;;
    runs-32bit) if tessaran_runs_32bit; then echo yes; else echo no; fi ;;
    env)
      [ $# = 3 ] || { echo "usage: wine-env.sh env ARCH PREFIX" >&2; exit 2; }
      tessaran_wine "$2" "$3" || exit $?
      for name in WINELOADER WINESERVER WINEARCH WINEPREFIX WINEDEBUG WINEDLLOVERRIDES TESSARAN_WINE \
                  TESSARAN_WINE_ARCH TESSARAN_WINEPREFIX TESSARAN_RUNS_32BIT; do
        if [ -n "${!name:-}" ]; then printf '%s=%s\n' "$name" "${!name}"; fi
      done ;;
    prepare|stop)
      [ $# = 3 ] || { echo "usage: wine-env.sh $1 ARCH PREFIX" >&2; exit 2; }
      tessaran_wine "$2" "$3" || exit $?
      "tessaran_wine_$1" ;;
    *) echo "usage: wine-env.sh arches | runs-32bit | env ARCH PREFIX | prepare ARCH PREFIX | stop ARCH PREFIX" >&2; exit 2 ;;
  esac
fi

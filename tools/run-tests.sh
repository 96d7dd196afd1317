#!/usr/bin/env bash
# Builds both builds and runs every test under Wine (dialog tests under Xvfb).
# Where this machine runs 32-bit programs the whole suite runs against the x86
# build and then the x64 build; where it does not, against the x64 build in a
# 64-bit prefix. The static checks of the DLLs run for both builds always.
# Usage: tools/run-tests.sh [build-root] [--arch x86|x64] [extra ctest arguments...]
#   --arch  build and test that build alone (a quick round while working;
#           the full run is without it)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# One build's suite under Wine (called by this script itself, with a display
# set): tools/run-tests.sh --wine-suite ARCH BUILD-DIR [ctest arguments...].
# The prefix's server starts Wine's desktop process, which keeps the display
# it finds then; started without one, no window of any test ever shows. So
# the server is started here, inside the display, and ended with the run.
if [ "${1:-}" = --wine-suite ]; then
  arch=$2 build=$3
  shift 3
  # shellcheck source=tools/wine-env.sh
  . "$here/tools/wine-env.sh"
  tessaran_wine "$arch" "$build/wineprefix"
  # One persistent wineserver per prefix keeps each program start cheap.
  tessaran_wine_prepare
  trap 'tessaran_wine_stop' EXIT
  cd "$build"
  ctest --output-on-failure "$@"
  exit
fi
root="$here/build"
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then root=$1; shift; fi
root=$(realpath -m "$root")
only=""
if [ "${1:-}" = --arch ]; then only=$2; shift 2; fi

bash "$here/tools/setup.sh" >/dev/null
bash "$here/tools/build.sh" "$root" ${only:+--arch "$only"}

# shellcheck source=tools/wine-env.sh
. "$here/tools/wine-env.sh"
arches=$(tessaran_arches)
if [ -n "$only" ]; then
  case " $arches " in
    *" $only "*) arches=$only ;;
    *) echo "run-tests: this machine cannot run the $only build's programs" >&2; exit 2 ;;
  esac
fi
if tessaran_runs_32bit; then machine="runs 32-bit programs"; else machine="runs no 32-bit programs"; fi
echo "run-tests: this machine $machine; the suite runs on the $(echo "$arches" | sed 's/ / and the /') build$([ "${arches#* }" = "$arches" ] || echo s) under Wine, the static checks on ${only:-x86 and x64}"

# Python-side tests (the stand-in services) run first; they need no Wine.
python3 -m unittest discover -s "$here/tools/standin" -p 'test_*.py' 2>"$root/python-tests.log" \
  || { cat "$root/python-tests.log"; exit 1; }
echo "python tests: ok ($(grep -Eo 'Ran [0-9]+ tests?' "$root/python-tests.log"))"

run_wine_suite() {
  if [ -n "${DISPLAY:-}" ]; then
    bash "$here/tools/run-tests.sh" --wine-suite "$@"
  else
    xvfb-run -a -s "-screen 0 1280x1024x24" bash "$here/tools/run-tests.sh" --wine-suite "$@"
  fi
}

status=0
exercised=()
skips=()
for arch in ${only:-x86 x64}; do
  cd "$root/$arch"
  case " $arches " in
    *" $arch "*)
      echo "==> the $arch build under Wine ($root/$arch)"
      # A test that cannot run some part of itself on this machine writes one
      # line here saying what and why; the last line counts them.
      export TESSARAN_SKIP_LOG="$root/$arch/skipped.txt"
      : >"$TESSARAN_SKIP_LOG"
      run_wine_suite "$arch" "$root/$arch" "$@" || status=1
      while IFS= read -r line; do skips+=("$line ($arch build)"); done <"$TESSARAN_SKIP_LOG"
      tessaran_wine "$arch" "$root/$arch/wineprefix"
      exercised+=("$arch (Wine $WINEARCH, $WINELOADER)") ;;
    *)
      echo "==> the $arch build: static checks only (this machine cannot run its programs)"
      ctest --output-on-failure -L static || status=1 ;;
  esac
done
for line in "${skips[@]}"; do echo "run-tests: skipped $line"; done
echo "run-tests: exercised at run time: ${exercised[*]:-none}; static checks: ${only:-x86 x64};" \
  "${#skips[@]} part(s) skipped$([ ${#skips[@]} = 0 ] || echo ' (listed above)'); $([ $status = 0 ] && echo 'all passed' || echo FAILED)"
exit $status

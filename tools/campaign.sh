#!/usr/bin/env bash
# The settings campaign: some 260 bad and odd inputs on the settings file, on
# Import and Export sources and in the account dialogs, run black-box through
# the real plug-in in the host simulator, in a Wine prefix of its own (on a
# private Xvfb when there is no display). Prints each case's result and a
# table per family of cases, crashes, hangs, settings lost and wrong results;
# it passes or fails nothing.
#
# Usage: tools/campaign.sh [--build DIR] [--no-build] [--arch x86|x64] [--work DIR]
#                          [--dll PATH] [--only REGEX] [--list]
#   --build DIR   build folder of tools/build.sh, holding x86/ and x64/ (default: build)
#   --arch ARCH   the build to run (default: x86 where this machine runs
#                 32-bit programs, else x64)
#   --work DIR    prefix, installation and logs (default: BUILD/campaign)
#   --dll PATH    another TessaranService.dll of the same build kind (an older one, say)
#   --only REGEX  the cases whose family or name matches
#   --list        list the cases without running them
#   --no-build    skip set-up and build (the build folder must be complete)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tools/build-first.sh
. "$here/tools/build-first.sh"
exec python3 "$here/tools/campaign/settings_campaign.py" --build "$build" "${args[@]}"

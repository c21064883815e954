#!/usr/bin/env bash
# Runs a Windows program under Debian's 64-bit Wine with a private prefix, quietly and
# without a display. The prefix lives in the build folder of the program (the first folder
# upwards that holds a CMakeCache.txt), or in $WINEPREFIX when set.
#   scripts/wine-run.sh program.exe [arguments...]
set -euo pipefail
program="$1"
shift
if [ -z "${WINEPREFIX:-}" ]; then
  dir="$(cd "$(dirname "$program")" && pwd)"
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir="$(dirname "$dir")"; done
  [ "$dir" = "/" ] && dir="$(cd "$(dirname "$program")" && pwd)"
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINESERVER="${WINESERVER:-/usr/lib/wine/wineserver64}"
# Wine's sound driver talks to PulseAudio; without a server it has no devices.
exec /usr/lib/wine/wine64 "$program" "$@"

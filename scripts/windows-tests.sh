#!/usr/bin/env bash
# Runs the Windows test programs of an x86_64 cross build under Wine, then a call between the
# Windows and the Linux vecall. Starts what it needs (a private sound server unless
# PULSE_SERVER is set, and the Wine server of the build's own prefix) and stops exactly those
# processes, by PID, when it ends.
#   scripts/windows-tests.sh <windows-build> <linux-build>
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
win_build="$(cd "$1" && pwd)"
linux_build="$(cd "$2" && pwd)"

export WINEPREFIX="$win_build/wineprefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINESERVER=/usr/lib/wine/wineserver64

sound_dir=""
wineserver_pid=""
cleanup() {
  local status=$?
  set +e
  if [ -n "$wineserver_pid" ]; then
    # The server first ends the programs of this prefix (Wine's own services included), then
    # the server itself goes.
    /usr/lib/wine/wineserver64 -k 2>/dev/null
    kill "$wineserver_pid" 2>/dev/null
    wait "$wineserver_pid" 2>/dev/null
  fi
  [ -n "$sound_dir" ] && "$root/scripts/sound-server.sh" stop "$sound_dir"
  exit "$status"
}
trap cleanup EXIT

if [ -z "${PULSE_SERVER:-}" ]; then
  sound_dir="${TMPDIR:-/tmp}/ve-windows-sound-$$"
  export "$("$root/scripts/sound-server.sh" start "$sound_dir" | tail -1)"
fi

# One Wine server for the whole run, kept alive between the programs (each would otherwise
# start and stop its own), and a prefix made once before the tests run in parallel.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver64 -f -p &
wineserver_pid=$!
start=$(date +%s)
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
echo "Wine prefix ready in $(( $(date +%s) - start )) s"

cd "$win_build"
# The engine's call tests run two emulated processes each in real time: they run on their own
# after the other programs, so that those do not take the CPU from them.
ctest --output-on-failure -j"${JOBS:-2}" -E '^engine_tests$'
ctest --output-on-failure -R '^engine_tests$'
if [ -x "$root/scripts/cross-call.sh" ]; then
  "$root/scripts/cross-call.sh" "$linux_build" "$win_build"
fi

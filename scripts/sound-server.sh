#!/usr/bin/env bash
# Starts or stops a headless PulseAudio sound server for the device tests.
#
#   scripts/sound-server.sh start [DIR]   starts it, waits until it is ready, prints the
#                                         PULSE_SERVER value to export
#   scripts/sound-server.sh stop [DIR]    stops the server and its reader by PID
#
# The server runs without D-Bus and without the user's configuration: a native-protocol
# socket in DIR, a null sink at 8 kHz mono s16le as the default sink and a source remapped
# from its monitor as the default source, so what is played comes back on the default
# source. An idle null sink renders up to 2 s ahead, which stalls the first stream; a reader
# on the monitor with a 10 ms latency keeps the sink's latency low, and start waits until it
# is below 100 ms. Audio goes over the socket, not through shared memory: the server's
# shared-memory block import can abort the server when several clients come and go.
set -euo pipefail

action=${1:-}
dir=${2:-${TMPDIR:-/tmp}/ve-sound-server}
socket="$dir/native"

stop_pid() {
  local file=$1
  [ -f "$file" ] || return 0
  local pid
  pid=$(cat "$file")
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

case "$action" in
  start)
    command -v pulseaudio >/dev/null || { echo "pulseaudio is not installed (make deps)" >&2; exit 1; }
    "$0" stop "$dir"
    mkdir -p "$dir"
    cat > "$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
load-module module-null-sink sink_name=ve_sink rate=8000 channels=1 format=s16le sink_properties=device.description=ve_sink
set-default-sink ve_sink
load-module module-remap-source source_name=ve_source master=ve_sink.monitor source_properties=device.description=ve_source
set-default-source ve_source
PA
    export HOME="$dir" XDG_RUNTIME_DIR="$dir" PULSE_RUNTIME_PATH="$dir" PULSE_STATE_PATH="$dir"
    pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit --disable-shm=yes \
      --use-pid-file=no --log-target=file:"$dir/server.log" >/dev/null 2>&1 &
    echo $! > "$dir/server.pid"
    export PULSE_SERVER="unix:$socket"
    for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null 2>&1 || { echo "sound server did not start; see $dir/server.log" >&2; exit 1; }
    parec --latency-msec=10 -d ve_sink.monitor >/dev/null 2>&1 &
    echo $! > "$dir/reader.pid"
    ready=""
    for _ in $(seq 100); do
      latency=$(pactl list sinks | sed -n 's/.*Latency: \([0-9]*\) usec.*/\1/p' | head -1)
      if [ -n "$latency" ] && [ "$latency" -lt 100000 ]; then ready=1; break; fi
      sleep 0.1
    done
    [ -n "$ready" ] || { echo "sink latency stayed above 100 ms" >&2; exit 1; }
    echo "PULSE_SERVER=unix:$socket"
    ;;
  stop)
    stop_pid "$dir/reader.pid"
    stop_pid "$dir/server.pid"
    ;;
  *)
    echo "usage: $0 start|stop [DIR]" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# The demo: a G.729 call between two vecall processes on loopback. Each side "speaks" a
# generated speech sample through a virtual microphone and records what it hears; the report
# shows both sides' statistics, the mouth-to-ear delay and how well the speech arrived.
set -euo pipefail
build=${1:-build}
out="$build/demo"
codec=${DEMO_CODEC:-g729}
seconds=${DEMO_SECONDS:-10}
mkdir -p "$out"

speak() {  # speak VOICE TEXT FILE: 8 kHz mono 16-bit speech with a pause before and after
  espeak-ng -v "$1" -s 150 -w "$out/raw.wav" "$2"
  sox -q "$out/raw.wav" -r 8000 -c 1 -b 16 "$3" pad 0.5 1.0
  rm -f "$out/raw.wav"
}
speak en-us "This is side A of a voice engine call. The quick brown fox jumps over the lazy dog, and the engine carries every word." "$out/a_says.wav"
speak en-gb "Side B answers. Seven, eight, nine, ten. Voice over loopback, coded at eight kilobits per second." "$out/b_says.wav"

ports_a=47300; ports_b=47310
"$build/tools/vecall" --local 127.0.0.1:$ports_a --remote 127.0.0.1:$ports_b --codec "$codec" \
  --mic "file:$out/a_says.wav" --speaker "file:$out/a_heard.wav" --duration "$seconds" --stats "$out/a.json" &
pid_a=$!
"$build/tools/vecall" --local 127.0.0.1:$ports_b --remote 127.0.0.1:$ports_a --codec "$codec" \
  --mic "file:$out/b_says.wav" --speaker "file:$out/b_heard.wav" --duration "$seconds" --stats "$out/b.json" &
pid_b=$!
status=0
wait $pid_a || status=1
wait $pid_b || status=1
[ $status -eq 0 ] || { echo "demo: a vecall process failed" >&2; exit 1; }

echo
echo "== $codec call on loopback, ${seconds} s, both directions at once"
echo "-- side A statistics ($out/a.json)"; cat "$out/a.json"
echo "-- side B statistics ($out/b.json)"; cat "$out/b.json"
# One line per side: the round trip it measured and the RTCP layouts it sends and hears.
rtcp_summary() {  # rtcp_summary SIDE STATS
  python3 - "$@" <<'EOF'
import json, sys
rtcp = json.load(open(sys.argv[2])).get("rtcp", {})
rtt = rtcp.get("rtt_ms")
rtt = "unknown" if rtt is None or rtt < 0 else "%.0f ms" % rtt
print("-- side %s RTCP: round trip %s, sends the %s layout, hears the %s layout"
      % (sys.argv[1], rtt, rtcp.get("send_dialect", "unknown"), rtcp.get("peer_dialect", "unknown")))
EOF
}
rtcp_summary A "$out/a.json"
rtcp_summary B "$out/b.json"
# The processor time each side's whole process used once the call was running (from its second
# second on).
cpu_summary() {  # cpu_summary SIDE STATS
  python3 - "$@" <<'EOF'
import json, sys
timing = json.load(open(sys.argv[2])).get("timing", {})
if timing.get("cpu_window_ms", 0) > 0:
    print("-- side %s CPU: %.2f %% of one core for the full-duplex call (%d ms in %d ms)"
          % (sys.argv[1], 100.0 * timing["cpu_ms"] / timing["cpu_window_ms"], timing["cpu_ms"],
             timing["cpu_window_ms"]))
EOF
}
cpu_summary A "$out/a.json"
cpu_summary B "$out/b.json"
# How much later the listener's speaker started than the talker's microphone: with the lag
# between the recordings, the mouth-to-ear delay.
start_offset() {  # start_offset TALKER_STATS LISTENER_STATS
  python3 - "$@" <<'EOF'
import json, sys
talker, listener = (json.load(open(p)).get("timing", {}) for p in sys.argv[1:3])
print(listener["receive_start_unix_ms"] - talker["send_start_unix_ms"])
EOF
}
echo "-- A's speech as B heard it"
"$build/tools/callreport" "$out/a_says.wav" "$out/b_heard.wav" --svg "$out/a_to_b.svg" \
  --start-offset-ms "$(start_offset "$out/a.json" "$out/b.json")"
echo "-- B's speech as A heard it"
"$build/tools/callreport" "$out/b_says.wav" "$out/a_heard.wav" --svg "$out/b_to_a.svg" \
  --start-offset-ms "$(start_offset "$out/b.json" "$out/a.json")"
echo
echo "Received speech: $out/b_heard.wav (A's voice) and $out/a_heard.wav (B's voice)"
echo "Waveforms, sent over received: $out/a_to_b.svg and $out/b_to_a.svg"

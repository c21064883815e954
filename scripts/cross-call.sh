#!/usr/bin/env bash
# A call between the two builds on loopback: the Linux vecall against the Windows vecall.exe
# under Wine, once in G.711 (A-law) and once in G.729. Each side speaks generated speech
# through a virtual microphone and records what it hears; the script checks that the speech
# arrived both ways and prints the figures (packets, mouth-to-ear delay, how much and how well
# the speech arrived).
#   scripts/cross-call.sh LINUX-BUILD WINDOWS-BUILD
# CROSS_CODECS (default "pcma g729") and CROSS_SECONDS (default 11, longer than the speech)
# change the calls. Exits 1 when a call fails or speech does not arrive.
# The received speech is compared with what the sender's equaliser made of the spoken speech
# (callreport --equalized), as the Linux call tests do: 90 % of the speech frames must arrive,
# with a segmental SNR above 10 dB for G.711 and above 2 dB for G.729.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 LINUX-BUILD WINDOWS-BUILD" >&2
  exit 2
fi
here="$(cd "$(dirname "$0")" && pwd)"
linux_build="$(cd "$1" && pwd)"
windows_build="$(cd "$2" && pwd)"
linux_vecall="$linux_build/tools/vecall"
windows_vecall="$windows_build/tools/vecall.exe"
callreport="$linux_build/tools/callreport"
for program in "$linux_vecall" "$windows_vecall" "$callreport"; do
  [ -x "$program" ] || [ -f "$program" ] || { echo "cross-call: $program is missing (build it first)" >&2; exit 2; }
done
codecs=${CROSS_CODECS:-pcma g729}
seconds=${CROSS_SECONDS:-11}
out="$windows_build/cross-call"
mkdir -p "$out"

speak() {  # speak VOICE TEXT FILE: 8 kHz mono 16-bit speech with a pause before and after
  espeak-ng -v "$1" -s 150 -w "$out/raw.wav" "$2"
  sox -q "$out/raw.wav" -r 8000 -c 1 -b 16 "$3" pad 0.5 1.0
  rm -f "$out/raw.wav"
}
speak en-us "This side runs on Linux. The quick brown fox jumps over the lazy dog, and the engine carries every word." \
  "$out/linux_says.wav"
speak en-gb "This side runs on Windows. Seven, eight, nine, ten. Please call me back at seven thirty this evening." \
  "$out/windows_says.wav"

# Wine reaches the Linux file system through drive Z:.
winpath() { echo "Z:$1"; }

# Waits (at most 60 s: Wine's first start prepares its prefix) until a UDP port is bound.
wait_bound() {
  for _ in $(seq 600); do
    ss -Huln "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# A number from a stats file: json_number FILE SECTION KEY
json_number() {
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]][sys.argv[3]])' "$@"
}

# Judges one direction: direction NAME SAID HEARD SENDER_STATS RECEIVER_STATS MIN_SNR
direction() {
  local name=$1 said=$2 heard=$3 sender=$4 receiver=$5 min_snr=$6
  local report mouth_to_ear missing snr correlation sent received offset
  sent=$(json_number "$sender" rtp sent_packets)
  received=$(json_number "$receiver" rtp received_packets)
  # The heard file starts when the receiver started playing, the said one when the sender
  # started sending: both processes stamp those moments on the one machine's clock, and
  # callreport puts the heard speech on the sender's clock, so its delay is mouth-to-ear.
  offset=$(python3 -c 'import sys; print(float(sys.argv[1]) - float(sys.argv[2]))' \
    "$(json_number "$receiver" timing receive_start_unix_ms)" "$(json_number "$sender" timing send_start_unix_ms)")
  report=$("$callreport" "$said" "$heard" --equalized --start-offset-ms "$offset")
  mouth_to_ear=$(sed -n 's/.*delay_ms=\([-0-9.]*\).*/\1/p' <<<"$report")
  missing=$(sed -n 's/.*missing_pct=\([-0-9.]*\).*/\1/p' <<<"$report")
  snr=$(sed -n 's/.*segmental_snr_db=\([-0-9.]*\).*/\1/p' <<<"$report")
  correlation=$(sed -n 's/.*correlation=\([-0-9.]*\).*/\1/p' <<<"$report")
  printf '  %-15s sent %4s received %4s packets  mouth-to-ear %4s ms  missing %4s%%  correlation %s  segSNR %4s dB\n' \
    "$name" "$sent" "$received" "$mouth_to_ear" "$missing" "$correlation" "$snr"
  python3 - "$sent" "$received" "$missing" "$snr" "$min_snr" "$mouth_to_ear" <<'EOF' || return 1
import sys
sent, received, missing, snr, min_snr, delay = map(float, sys.argv[1:])
problems = []
if sent <= 0 or received < 0.85 * sent:
    problems.append("packets lost on loopback")
if missing >= 10:
    problems.append("speech missing")
if snr <= min_snr:
    problems.append("speech garbled (segmental SNR at most %.0f dB)" % min_snr)
if not 0 < delay < 1000:
    problems.append("implausible delay")
for problem in problems:
    print("    FAIL: " + problem)
sys.exit(1 if problems else 0)
EOF
}

failed=0
port=$((47400 + RANDOM % 400 * 4))
for codec in $codecs; do
  linux_port=$port windows_port=$((port + 2))
  port=$((port + 4))
  tag="$out/$codec"
  rm -f "$tag"-*
  # Windows first: its start under Wine is slow, and the Linux side starts once it listens.
  "$here/wine-run.sh" "$windows_vecall" --local "127.0.0.1:$windows_port" --remote "127.0.0.1:$linux_port" \
    --codec "$codec" --mic "file:$(winpath "$out/windows_says.wav")" --speaker "file:$(winpath "$tag-windows-heard.wav")" \
    --duration "$seconds" --stats "$(winpath "$tag-windows.json")" &
  windows_pid=$!
  if ! wait_bound "$windows_port"; then
    echo "cross-call: vecall.exe did not bind port $windows_port" >&2
    kill "$windows_pid" 2>/dev/null || true
    exit 1
  fi
  "$linux_vecall" --local "127.0.0.1:$linux_port" --remote "127.0.0.1:$windows_port" --codec "$codec" \
    --mic "file:$out/linux_says.wav" --speaker "file:$tag-linux-heard.wav" --duration "$seconds" \
    --stats "$tag-linux.json" &
  linux_pid=$!
  status=0
  wait "$linux_pid" || { echo "cross-call: the Linux vecall failed" >&2; status=1; }
  wait "$windows_pid" || { echo "cross-call: vecall.exe failed" >&2; status=1; }
  if [ $status -ne 0 ]; then
    failed=1
    continue
  fi
  # G.711 is close to transparent (about 32 dB); G.729 keeps the speech but not the waveform.
  min_snr=20
  [ "$codec" = g729 ] && min_snr=2
  echo "== $codec, ${seconds} s, Linux 127.0.0.1:$linux_port <-> Windows (Wine) 127.0.0.1:$windows_port"
  direction "Linux->Windows" "$out/linux_says.wav" "$tag-windows-heard.wav" "$tag-linux.json" "$tag-windows.json" \
    "$min_snr" || failed=1
  direction "Windows->Linux" "$out/windows_says.wav" "$tag-linux-heard.wav" "$tag-windows.json" "$tag-linux.json" \
    "$min_snr" || failed=1
done
echo "Files: $out"
if [ $failed -ne 0 ]; then
  echo "cross-call: FAILED" >&2
  exit 1
fi
echo "cross-call: speech arrived both ways in every call"

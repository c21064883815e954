#!/usr/bin/env bash
# RTCP between vecall and other RTP stacks on loopback. Four calls run at once, each between
# vecall and one peer:
#   vecall            another vecall, G.711 u-law
#   gstreamer         gst-launch-1.0 with rtpbin, G.711 u-law
#   mediastream       the mediastreamer2 test program, G.711 u-law
#   mediastream-g729  the same program, G.729
# tshark captures every datagram of the calls on the loopback interface; the script then
# decodes the RTCP and prints, per call and side: the RTCP dialect the side ended in (from
# vecall's statistics and from the bytes on the wire), the round-trip time (the side's own figure
# where it gives one, and the one the capture shows), the loss and jitter the side reports about the other, and how
# many of vecall's RTCP packets tshark finds malformed once vecall sends the standard layout.
#   scripts/rtcp-interop.sh BUILD_DIR [SECONDS]
# SECONDS (default 12) is the length of each call. INTEROP_PAIRS picks some of the calls
# (default "vecall gstreamer mediastream mediastream-g729"). Files go to BUILD_DIR/rtcp-interop/,
# the figures as JSON to summary.json there.
# Exit status: 0 the calls ran and the table was printed (the figures are not judged here),
# 1 a call or the capture failed, 2 bad use or a missing program, 77 the capture is not permitted
# (tshark needs root or the capture capabilities).
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [SECONDS]" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
seconds=${2:-12}
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 5 ] || { echo "rtcp-interop: SECONDS must be a whole number >= 5" >&2; exit 2; }
pairs=${INTEROP_PAIRS:-vecall gstreamer mediastream mediastream-g729}
vecall="$build/tools/vecall"
[ -x "$vecall" ] || { echo "rtcp-interop: $vecall is missing (build it first)" >&2; exit 2; }
for program in tshark gst-launch-1.0 mediastream python3; do
  command -v "$program" >/dev/null || { echo "rtcp-interop: $program is missing (make deps installs it)" >&2; exit 2; }
done
out="$build/rtcp-interop"
rm -rf "$out"
mkdir -p "$out"

# Every process this script starts, so that an early exit ends each of them by its id.
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# The peers read their microphone from a file: a tone longer than the call.
python3 - "$out/tone.wav" "$((seconds + 5))" <<'EOF'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
    n = 8000 * int(sys.argv[2])
    w.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 330 * i / 8000))) for i in range(n)))
EOF

# Four free consecutive UDP ports on loopback per call: vecall's RTP and RTCP, then the peer's.
read -r -a bases <<<"$(python3 - $(wc -w <<<"$pairs") <<'EOF'
import random, socket, sys
held, bases = [], []
while len(bases) < int(sys.argv[1]):
    base = random.randrange(20000, 60000, 4)
    trial = []
    try:
        for port in range(base, base + 4):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            trial.append(s)
            s.bind(("127.0.0.1", port))
    except OSError:
        for s in trial: s.close()
        continue
    held += trial
    bases.append(base)
print(" ".join(map(str, bases)))
EOF
)"

# The capture: every datagram to or from the calls' ports. It is started and seen running
# before the first call starts.
filter=""
for base in "${bases[@]}"; do filter+="${filter:+ or }udp portrange $base-$((base + 3))"; done
timeout -s INT -k 5 $((seconds + 30)) tshark -q -i lo -f "$filter" -w "$out/calls.pcapng" >"$out/capture.log" 2>&1 &
capture_pid=$!
pids+=("$capture_pid")
# tshark says "Capturing on" before it knows whether it may; "Capture started" once it does.
for _ in $(seq 100); do
  grep -q "Capture started" "$out/capture.log" && break
  kill -0 "$capture_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "Capture started" "$out/capture.log" || ! kill -0 "$capture_pid" 2>/dev/null; then
  cat "$out/capture.log" >&2
  if grep -qiE "permission to capture|not permitted|privilege" "$out/capture.log"; then
    echo "rtcp-interop: tshark may not capture on the loopback interface here (run as root)" >&2
    exit 77
  fi
  echo "rtcp-interop: tshark could not capture on the loopback interface" >&2
  exit 1
fi
sleep 0.5

# One call: the peer starts first so that it hears vecall's first packets. Each process is
# bounded: the peers get an interrupt one second after vecall's call ends (both end cleanly on
# it) and are killed if they do not. The interrupt goes to the program alone: sent to its
# process group as well, it arrives twice, and both programs take a second one as a demand to
# quit at once.
start_call() {  # start_call NAME BASE
  local name=$1 p=$2 q=$(($2 + 2)) codec=pcmu
  case $name in
    vecall)
      timeout -k 5 $((seconds + 15)) "$vecall" --local 127.0.0.1:$q --remote 127.0.0.1:$p --codec pcmu \
        --mic tone:330 --speaker null --duration "$seconds" --stats "$out/$name.peer.json" >"$out/$name.peer.log" 2>&1 &
      ;;
    gstreamer)
      timeout --foreground -s INT -k 5 --preserve-status $((seconds + 1)) gst-launch-1.0 -e rtpbin name=rtpbin \
        audiotestsrc is-live=true freq=330 volume=0.3 samplesperbuffer=160 ! audio/x-raw,rate=8000,channels=1 \
          ! mulawenc ! rtppcmupay min-ptime=20000000 max-ptime=20000000 ! rtpbin.send_rtp_sink_0 \
        rtpbin.send_rtp_src_0 ! udpsink host=127.0.0.1 port=$p \
        rtpbin.send_rtcp_src_0 ! udpsink host=127.0.0.1 port=$((p + 1)) sync=false async=false \
        udpsrc address=127.0.0.1 port=$q caps="application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMU,payload=0" \
          ! rtpbin.recv_rtp_sink_0 \
        udpsrc address=127.0.0.1 port=$((q + 1)) ! rtpbin.recv_rtcp_sink_0 \
        rtpbin. ! rtppcmudepay ! mulawdec ! fakesink >"$out/$name.peer.log" 2>&1 &
      ;;
    mediastream | mediastream-g729)
      local payload=0
      [ "$name" = mediastream-g729 ] && payload=18 codec=g729
      timeout --foreground -s INT -k 5 --preserve-status $((seconds + 1)) mediastream --local $q --remote 127.0.0.1:$p \
        --payload $payload --infile "$out/tone.wav" --outfile "$out/$name.peer.wav" >"$out/$name.peer.log" 2>&1 &
      ;;
    *)
      echo "rtcp-interop: unknown call $name (vecall, gstreamer, mediastream, mediastream-g729)" >&2
      exit 2
      ;;
  esac
  peer_pid[$name]=$!
  pids+=("$!")
  sleep 0.2
  timeout -k 5 $((seconds + 15)) "$vecall" --local 127.0.0.1:$p --remote 127.0.0.1:$q --codec $codec \
    --mic tone:440 --speaker null --duration "$seconds" --stats "$out/$name.vecall.json" >"$out/$name.vecall.log" 2>&1 &
  vecall_pid[$name]=$!
  pids+=("$!")
  echo -e "$name\t$codec\t$p\t$q" >>"$out/calls.tsv"
}

declare -A peer_pid vecall_pid
i=0
for name in $pairs; do
  start_call "$name" "${bases[$i]}"
  i=$((i + 1))
done
failed=0
for name in $pairs; do
  wait "${vecall_pid[$name]}" || { echo "rtcp-interop: vecall of the $name call failed:" >&2; tail -5 "$out/$name.vecall.log" >&2; failed=1; }
  wait "${peer_pid[$name]}" || { echo "rtcp-interop: the $name peer failed:" >&2; tail -5 "$out/$name.peer.log" >&2; failed=1; }
done
sleep 0.5
kill -INT "$capture_pid" 2>/dev/null || true
wait "$capture_pid" || true
[ -s "$out/calls.pcapng" ] || { echo "rtcp-interop: the capture is empty" >&2; cat "$out/capture.log" >&2; exit 1; }

# The RTCP of every call, one line per datagram sent to an RTCP port, as tshark decodes it.
decode=()
for base in "${bases[@]}"; do decode+=(-d "udp.port==$((base + 1)),rtcp" -d "udp.port==$((base + 3)),rtcp"); done
rtcp_ports=""
for base in "${bases[@]}"; do rtcp_ports+="${rtcp_ports:+,}$((base + 1)),$((base + 3))"; done
fields=(frame.number frame.time_epoch udp.srcport udp.dstport udp.payload rtcp.sender.packetcount rtcp.ssrc.identifier rtcp.ssrc.fraction rtcp.ssrc.cum_nr rtcp.ssrc.jitter
        rtcp.ssrc.lsr rtcp.ssrc.dlsr _ws.malformed _ws.expert.message)
tshark -r "$out/calls.pcapng" -n "${decode[@]}" -Y "udp.dstport in {$rtcp_ports}" -T fields \
  $(printf -- '-e %s ' "${fields[@]}") -E separator=/t -E occurrence=a -E aggregator='|' \
  >"$out/rtcp.tsv" 2>"$out/decode.log" || { cat "$out/decode.log" >&2; exit 1; }

python3 - "$out" "$seconds" "${fields[@]}" <<'EOF' || exit 1
import json, os, re, struct, sys

out, seconds, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
NTP_1970 = 2208988800
PEERS = {"vecall": "vecall", "gstreamer": "GStreamer rtpbin", "mediastream": "mediastream",
         "mediastream-g729": "mediastream"}


def wire_dialect(payload, when):
    """The RTCP layout of one datagram: "standard" (24-byte report blocks, NTP seconds from
    1900), "legacy" (28-byte report blocks, seconds from 1970), "mixed" when the two signs
    disagree, "undecided" when the datagram shows neither, None when it is no RTCP at all."""
    if len(payload) < 8 or payload[0] >> 6 != 2 or payload[1] not in (200, 201):
        return None
    count, length = payload[0] & 0x1F, (struct.unpack(">H", payload[2:4])[0] + 1) * 4
    signs = set()
    blocks = length - (28 if payload[1] == 200 else 8)
    if count:
        if blocks == 28 * count:
            signs.add("legacy")
        elif blocks >= 24 * count:
            signs.add("standard")
    if payload[1] == 200 and len(payload) >= 12:
        seconds_field = struct.unpack(">I", payload[8:12])[0]
        if abs(seconds_field - when) < 86400:
            signs.add("legacy")
        elif abs(seconds_field - ((int(when) + NTP_1970) % 2**32)) < 86400:
            signs.add("standard")
    if len(signs) == 2:
        return "mixed"
    return signs.pop() if signs else "undecided"


def legacy_blocks(payload):
    """The report blocks of a legacy report, read in that layout: SSRC, the fraction lost in its
    own word, the cumulative count in the next, then the extended highest sequence number, the
    jitter, the last SR's middle 32 NTP bits and the delay since it in milliseconds."""
    count = payload[0] & 0x1F
    at = 28 if payload[1] == 200 else 8
    blocks = []
    for i in range(count):
        b = payload[at + 28 * i: at + 28 * (i + 1)]
        if len(b) < 28:
            break
        cumulative = int.from_bytes(b[8:11], "big", signed=True)
        ssrc, _, _, _, jitter, lsr, dlsr_ms = struct.unpack(">IIIIIII", b)
        blocks.append({"ssrc": ssrc, "fraction": b[4], "cumulative": cumulative, "jitter": jitter,
                       "lsr": lsr, "dlsr_s": dlsr_ms / 1000.0})
    return blocks


def tshark_blocks(row):
    """The report blocks as tshark decodes them (the standard layout)."""
    def ints(name):
        return [int(v, 0) for v in row[name].split("|") if v != ""]
    ssrcs, fractions, cumulative = ints("rtcp.ssrc.identifier"), ints("rtcp.ssrc.fraction"), ints("rtcp.ssrc.cum_nr")
    jitter, lsr, dlsr = ints("rtcp.ssrc.jitter"), ints("rtcp.ssrc.lsr"), ints("rtcp.ssrc.dlsr")
    # SDES chunks also carry rtcp.ssrc.identifier; the report blocks come first.
    n = min(len(fractions), len(cumulative), len(jitter), len(lsr), len(dlsr), len(ssrcs))
    return [{"ssrc": ssrcs[i], "fraction": fractions[i], "cumulative": cumulative[i], "jitter": jitter[i],
             "lsr": lsr[i], "dlsr_s": dlsr[i] / 65536.0} for i in range(n)]


rows = []
with open(os.path.join(out, "rtcp.tsv")) as f:
    for line in f:
        values = line.rstrip("\n").split("\t")
        rows.append(dict(zip(names, values + [""] * (len(names) - len(values)))))


def load_stats(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def lookup(stats, *paths):
    for path in paths:
        node = stats
        for key in path:
            node = node.get(key) if isinstance(node, dict) else None
        if node is not None:
            return node
    return None


def side_figures(sent_rows, stats):
    """What one side sent: its RTCP datagrams with their dialects, its SRs and its blocks."""
    packets = []
    for row in sent_rows:
        payload = bytes.fromhex(row["udp.payload"].replace(":", ""))
        when = float(row["frame.time_epoch"])
        dialect = wire_dialect(payload, when)
        if dialect is None:
            continue  # not RTCP (a connectivity check, for instance)
        blocks = legacy_blocks(payload) if dialect == "legacy" else tshark_blocks(row)
        sr_middle = struct.unpack(">I", payload[10:14])[0] if payload[1] == 200 and len(payload) >= 28 else None
        ssrc = struct.unpack(">I", payload[4:8])[0]
        sent = int(row["rtcp.sender.packetcount"].split("|")[0]) if row["rtcp.sender.packetcount"] else None
        packets.append({"frame": int(row["frame.number"]), "time": when, "dialect": dialect,
                        "malformed": row["_ws.malformed"] != "" or "Malformed" in row["_ws.expert.message"],
                        "blocks": blocks, "sr_middle": sr_middle, "ssrc": ssrc, "sent_packets": sent})
    return {"packets": packets, "stats": stats}


def round_trips(reporter, reported):
    """The round trips of `reported`'s SRs as the capture shows them: when `reporter`'s block
    answering an SR went out, less when that SR went out, less the delay the block states."""
    sent_at = {p["sr_middle"]: p["time"] for p in reported["packets"] if p["sr_middle"] is not None}
    ssrcs = {p["ssrc"] for p in reported["packets"]}
    values = []
    for p in reporter["packets"]:
        for b in p["blocks"]:
            if b["ssrc"] in ssrcs and b["lsr"] in sent_at and b["lsr"] != 0:
                values.append((p["time"] - sent_at[b["lsr"]] - b["dlsr_s"]) * 1000.0)
    return values


def describe(side, other, name, kind):
    packets = side["packets"]
    stats = side["stats"]
    first_standard = next((p["frame"] for p in packets if p["dialect"] == "standard"), None)
    about_other = [b for p in packets for b in p["blocks"] if b["ssrc"] in {q["ssrc"] for q in other["packets"]}]
    other_sent = [q["sent_packets"] for q in other["packets"] if q["sent_packets"]]
    last = about_other[-1] if about_other else None
    wire_rtt = round_trips(other, side)
    figures = {
        "side": name, "kind": kind, "rtcp_packets": len(packets),
        "wire_dialects": [p["dialect"] for p in packets],
        "wire_dialect_last": packets[-1]["dialect"] if packets else None,
        "wire_rtt_ms": round(wire_rtt[-1], 2) if wire_rtt else None,
        "blocks_about_other": len(about_other),
        "fraction_lost_max_pct": round(max(b["fraction"] for b in about_other) * 100 / 256, 2) if about_other else None,
        "cumulative_lost": last["cumulative"] if last else None,
        "other_sent_packets": other_sent[-1] if other_sent else None,
        "jitter_ms": round(last["jitter"] / 8.0, 2) if last else None,
        "malformed_total": sum(p["malformed"] for p in packets),
        "malformed_after_standard": (sum(p["malformed"] for p in packets if p["frame"] >= first_standard)
                                     if first_standard is not None else None),
    }
    if kind == "vecall":
        figures["stats_found"] = stats is not None
        if stats is not None:
            figures["send_dialect"] = lookup(stats, ("rtcp", "send_dialect"), ("rtcp", "dialect"), ("rtcp_send_dialect",))
            figures["peer_dialect"] = lookup(stats, ("rtcp", "peer_dialect"), ("rtcp", "remote_dialect"), ("rtcp_peer_dialect",))
            figures["rtt_ms"] = lookup(stats, ("rtcp", "rtt_ms"))
            figures["stats_fraction_lost_pct"] = (lookup(stats, ("rtp", "fraction_lost")) or 0) * 100
            figures["stats_jitter_ms"] = lookup(stats, ("rtp", "jitter_ms"))
    return figures


def printed_round_trip(log_path):
    """The last round trip mediastream printed among the remote statistics it logs, in ms."""
    try:
        with open(log_path, errors="replace") as f:
            found = re.findall(r"RT propagation\s*:\s*([0-9.]+)\s*ms", f.read())
    except OSError:
        return None
    return float(found[-1]) if found else None


def show(value, fmt="{}"):
    return "-" if value is None else fmt.format(value)


summary = {"seconds": seconds, "calls": []}
with open(os.path.join(out, "calls.tsv")) as f:
    calls = [line.rstrip("\n").split("\t") for line in f if line.strip()]
for name, codec, p, q in calls:
    vecall_rtcp, peer_rtcp = int(p) + 1, int(q) + 1
    # Who sent a datagram shows in where it went: the peer's RTCP may leave from any port.
    vecall_side = side_figures([r for r in rows if int(r["udp.dstport"]) == peer_rtcp],
                               load_stats(os.path.join(out, name + ".vecall.json")))
    peer_side = side_figures([r for r in rows if int(r["udp.dstport"]) == vecall_rtcp],
                             load_stats(os.path.join(out, name + ".peer.json")))
    peer_kind = "vecall" if name == "vecall" else "third-party"
    sides = [describe(vecall_side, peer_side, "vecall", "vecall"),
             describe(peer_side, vecall_side, "vecall (2nd)" if name == "vecall" else PEERS[name], peer_kind)]
    if name.startswith("mediastream"):
        sides[1]["rtt_ms"] = printed_round_trip(os.path.join(out, name + ".peer.log"))
    summary["calls"].append({"call": name, "peer": PEERS[name], "codec": codec, "rtp_ports": [int(p), int(q)],
                             "sides": sides})

    print(f"\n== vecall <-> {PEERS[name]}, {codec}, {seconds} s (RTP {p} <-> {q})")
    print(f"  {'':<17}{'RTCP':>5}  {'dialect':<40}{'RTT ms':^16}  {'about the other side':^28}  {'malformed':>12}")
    print(f"  {'side':<17}{'sent':>5}  {'stats send/peer':<19}{'wire first->last':<21}{'own':>8}{'wire':>8}"
          f"  {'lost% max':>10}{'cum':>6}{'jitter ms':>12}  {'std / all':>12}")
    for s in sides:
        stats_dialect = (f"{show(s.get('send_dialect'))}/{show(s.get('peer_dialect'))}" if s["kind"] == "vecall"
                         else "-")
        seen = s["wire_dialects"]
        wire = f"{seen[0]}->{seen[-1]}" if seen else "none"
        print(f"  {s['side']:<17}{s['rtcp_packets']:>5}  {stats_dialect:<19}{wire:<21}"
              f"{show(s.get('rtt_ms'), '{:.1f}'):>8}{show(s['wire_rtt_ms'], '{:.1f}'):>8}"
              f"  {show(s['fraction_lost_max_pct'], '{:.1f}'):>10}{show(s['cumulative_lost']):>6}"
              f"{show(s['jitter_ms'], '{:.2f}'):>12}  {show(s['malformed_after_standard']):>6} / {s['malformed_total']:<3}")

print("\n  dialect: stats = vecall's send/peer dialect from its statistics; wire = the layout of its first and")
print("  last RTCP datagram. RTT: own = vecall's rtt_ms, or the last one mediastream printed; wire = when the")
print("  other side's block answering this side's last answered SR went out, less when the SR went out, less")
print("  the delay the block states.")
print("  Loss and jitter are read from the report blocks in the layout each datagram was sent in (tshark's")
print("  decoding for the standard layout); jitter in 8 kHz timestamp units / 8.")
with open(os.path.join(out, "summary.json"), "w") as f:
    json.dump(summary, f, indent=1)
EOF
[ "$failed" -eq 0 ] || exit 1
echo
echo "Capture: $out/calls.pcapng; figures: $out/summary.json"

#!/usr/bin/env python3
"""Runs scripts/rtcp-interop.sh (vecall against GStreamer, mediastream in G.711 and G.729, and a
second vecall, on loopback under a capture) and judges its figures. It fails when any vecall:
 - did not end in the standard RTCP layout, by its own statistics or by its last datagram;
 - sent an RTCP packet that tshark finds malformed once it sends the standard layout;
 - has no round-trip time, or one of 50 ms or more, though every call runs on loopback;
and when either side of a call sent no RTCP, nothing about the other side, or reports more
than 5 % loss. It exits 77 (a skip) when the capture is not permitted here.
    check-rtcp-interop.py SCRIPT BUILD_DIR [SECONDS]
"""
import json
import os
import subprocess
import sys

SKIP = 77
MAX_RTT_MS = 50.0
MAX_LOSS_PCT = 5.0


def problems_of(side, call):
    where = f"{call}: {side['side']}"
    if side["rtcp_packets"] == 0:
        return [f"{where} sent no RTCP"]
    lost, sent = side["cumulative_lost"], side["other_sent_packets"]
    checks = [(side["blocks_about_other"] == 0, "sent no report block about the other side"),
              ((side["fraction_lost_max_pct"] or 0) > MAX_LOSS_PCT,
               f"reports {side['fraction_lost_max_pct']} % loss in one interval"),
              (lost is not None and sent and lost * 100.0 / sent > MAX_LOSS_PCT, f"reports {lost} of {sent} packets lost")]
    if side["kind"] == "vecall" and not side.get("stats_found"):
        checks.append((True, "wrote no statistics"))
    elif side["kind"] == "vecall":
        rtt = side.get("rtt_ms")
        checks += [(side.get(key) not in (None, "standard"), f"ended with {key} {side.get(key)}")
                   for key in ("send_dialect", "peer_dialect")]
        checks += [(side["wire_dialect_last"] != "standard",
                    f"sent its last RTCP in the {side['wire_dialect_last']} layout"),
                   (side["malformed_after_standard"], f"has {side['malformed_after_standard']} RTCP packets that "
                    "tshark finds malformed after its first standard one"),
                   (rtt is None or rtt < 0, "has no round-trip time"),
                   (rtt is not None and rtt >= MAX_RTT_MS, f"has a round-trip time of {rtt} ms on loopback"),
                   ((side.get("stats_fraction_lost_pct") or 0) > MAX_LOSS_PCT,
                    f"counts {side.get('stats_fraction_lost_pct') or 0:.1f} % of the packets lost")]
    return [f"{where} {text}" for failed, text in checks if failed]


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    script, build = sys.argv[1], sys.argv[2]
    status = subprocess.call(["bash", script, build] + sys.argv[3:])
    if status != 0:
        print("rtcp-interop: " + ("skipped, the capture is not permitted here" if status == SKIP
                                  else f"the script failed (exit status {status})"))
        return SKIP if status == SKIP else 1
    with open(os.path.join(build, "rtcp-interop", "summary.json")) as f:
        summary = json.load(f)
    problems = [p for call in summary["calls"] for side in call["sides"] for p in problems_of(side, call["call"])]
    for p in problems:
        print("FAIL", p)
    print(f"rtcp-interop: {len(summary['calls'])} calls, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

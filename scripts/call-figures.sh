#!/usr/bin/env bash
# Runs the demo call RUNS times and sums up what a user feels: the mouth-to-ear delay of each
# direction (median and worst moment of each call) and each side's CPU share of one core.
#
#   scripts/call-figures.sh [BUILD] [CODEC] [RUNS] [SECONDS]     (defaults: build g729 10 14)
set -euo pipefail
build=${1:-build}
codec=${2:-g729}
runs=${3:-10}
seconds=${4:-14}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for run in $(seq 1 "$runs"); do
  DEMO_CODEC=$codec DEMO_SECONDS=$seconds "$(dirname "$0")/demo.sh" "$build" > "$log" 2>&1 ||
    { echo "run $run failed:"; tail -5 "$log"; exit 1; }
  echo "run $run: $(grep -E 'mouth_to_ear|CPU' "$log" | tr '\n' ' ')"
done | tee /dev/stderr | python3 -c '
import re, statistics, sys
rows = sys.stdin.read().splitlines()
def spread(name, values):
    print("%-34s min %6.1f  median %6.1f  max %6.1f" % (name, min(values), statistics.median(values), max(values)))
medians = [[], []]; worsts = [[], []]; cpu = []
for row in rows:
    pairs = re.findall(r"mouth_to_ear_median_ms=(\d+) mouth_to_ear_max_ms=(\d+)", row)
    for direction, (median, worst) in enumerate(pairs[:2]):
        medians[direction].append(float(median)); worsts[direction].append(float(worst))
    cpu += [float(c) for c in re.findall(r"CPU: ([0-9.]+) %", row)]
print("'"$codec"', %d runs of %s s:" % (len(rows), "'"$seconds"'"))
for direction, name in enumerate(["A->B", "B->A"]):
    if medians[direction]:
        spread(name + " mouth-to-ear median (ms)", medians[direction])
        spread(name + " mouth-to-ear worst (ms)", worsts[direction])
if cpu:
    spread("CPU per side (% of one core)", cpu)
' 2>&1

#!/usr/bin/env bash
# Runs every libFuzzer target in BUILD_DIR/fuzz for SECONDS each, with its seed corpus from
# fuzz/corpus/NAME when there is one, JOBS targets at a time (default: one per CPU). Fails
# when any target finds a crash, and shows that target's log.
set -euo pipefail
build_dir=${1:-build-fuzz}
seconds=${2:-15}
jobs=${3:-$(nproc)}
shopt -s nullglob

run_one() {  # run_one TARGET: runs it, prints its last line, returns its status
  local target=$1 name work
  name=$(basename "$target")
  work="$build_dir/corpus/$name"
  mkdir -p "$work"
  local corpora=("$work")
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$build_dir/$name-" \
      "${corpora[@]}" > "$build_dir/$name.log" 2>&1; then
    echo "== $name FAILED"
    tail -n 40 "$build_dir/$name.log"
    return 1
  fi
  echo "== $name (${seconds} s): $(grep -E '^(Done|#[0-9]+.*DONE)' "$build_dir/$name.log" | tail -n 1 ||
    tail -n 1 "$build_dir/$name.log")"
}

status=0
running=0
for target in "$build_dir"/fuzz/*Fuzz; do
  [ -x "$target" ] || continue
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status

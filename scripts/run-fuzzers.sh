#!/usr/bin/env bash
# Runs every libFuzzer target in BUILD_DIR/fuzz for SECONDS each, with its seed corpus from
# fuzz/corpus/NAME when there is one. Fails on the first crash.
set -euo pipefail
build_dir=${1:-build-fuzz}
seconds=${2:-15}
status=0
shopt -s nullglob
for target in "$build_dir"/fuzz/*Fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work="$build_dir/corpus/$name"
  mkdir -p "$work"
  corpora=("$work")
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  echo "== $name (${seconds} s)"
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -artifact_prefix="$build_dir/" "${corpora[@]}" \
      > "$build_dir/$name.log" 2>&1; then
    tail -n 40 "$build_dir/$name.log"
    status=1
  else
    grep -E '^(Done|#[0-9]+.*DONE)' "$build_dir/$name.log" | tail -n 1 || tail -n 1 "$build_dir/$name.log"
  fi
done
exit $status

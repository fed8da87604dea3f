#!/usr/bin/env bash
# Runs each fuzz target of a build folder for a bounded time over its seed corpus and prints its
# executions. A finding (crash, sanitizer report, broken property) fails the run; its input is
# printed in base64 and as hex, and kept in BUILD_DIR/findings/. Put it into
# tests/fuzz/corpus/TARGET/ as regress-NAME so that every test run replays it.
# usage: tests/fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=$1 seconds=$2
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
status=0
for spec in hex_loader:4096 frame_parser:8192; do
  target=${spec%%:*} max_len=${spec##*:}
  work=$dir/corpus/$target findings=$dir/findings
  mkdir -p "$work" "$findings"
  rm -f "$findings/$target-"*
  log=$dir/$target.log
  dict=()
  [ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
  rc=0
  "$dir/bin/${target}_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$findings/$target-" "${dict[@]}" \
      "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1 || rc=$?
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  inputs=$(find "$work" -type f | wc -l)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} executions in $seconds s (${rate:-?} per second), no finding; corpus $inputs inputs"
  else
    status=1
    echo "fuzz $target: FINDING after ${runs:-?} executions (exit $rc); the fuzzer's report:"
    grep -v '^#[0-9]' "$log" | tail -n 60
    for f in "$findings/$target-"*; do
      [ -f "$f" ] || continue
      echo "== input $f ($(stat -c %s "$f") bytes), base64:"
      base64 -w 76 "$f" | head -n 200
      echo "== as hex:"
      od -An -tx1 -v "$f" | head -n 100
    done
  fi
done
exit "$status"

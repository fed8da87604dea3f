#!/usr/bin/env bash
# Runs every benchmark (after ./run build) and prints its figures; fails when
# a benchmark's guard (a bound against its baseline) failed.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for b in build/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b" || status=1
done
exit "$status"

#!/usr/bin/env bash
# Runs every benchmark (after ./run build) and prints its figures.
set -euo pipefail
cd "$(dirname "$0")/.."
for b in build/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b"
done

#!/usr/bin/env bash
# Runs the lifecycle soak of a build folder: the one-object and the fresh-object cycles side by
# side (each waits out Close's 300 ms pause, so together they take the time of one), each with
# its own simulated device. LeakSanitizer checks each at exit in an ASan build.
# usage: bench/soak.sh BUILD_DIR CYCLES
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1 cycles=$2
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
"$dir/bin/soak" --mode one "$cycles" >"$logs/one" 2>&1 & one=$!
"$dir/bin/soak" --mode fresh "$cycles" >"$logs/fresh" 2>&1 & fresh=$!
status=0
wait "$one" || status=1
wait "$fresh" || status=1
cat "$logs/one" "$logs/fresh"
[ "$status" -eq 0 ] || echo "soak: FAILED (see above)" >&2
exit "$status"

#!/usr/bin/env bash
# The window with a simulated bootloader mapped as COM3, for a desktop user to
# click through a whole upload. Extra arguments go to the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=${COMFLASH_BIN:-build/bin}
"$BIN/comflash-sim" --as COM3 "$@" &
sim_pid=$!
trap 'kill -TERM $sim_pid 2>/dev/null || true; wait $sim_pid 2>/dev/null || true' EXIT
sleep 0.3
echo "simulated device mapped as COM3; switch the port on, load a HEX file, press upload" >&2
"$BIN/comflash-gui"

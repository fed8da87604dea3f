#!/usr/bin/env bash
# The window with a simulated bootloader mapped as COM3, for a desktop user to
# click through a whole upload. Extra arguments go to the simulator, whose
# event lines go to a log named on start.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sim-start.sh
BIN=${COMFLASH_BIN:-build/bin}
sim_pid=""
trap 'kill -TERM $sim_pid 2>/dev/null || true; wait $sim_pid 2>/dev/null || true' EXIT
events=$(mktemp /tmp/comflash-gui-sim-XXXXXX)
sim_start sim_pid "$events" - "$BIN/comflash-sim" --as COM3 "$@" || exit 1
echo "simulated device $sim_device mapped as COM3 (events in $events); switch the port on, load a HEX file, press upload" >&2
"$BIN/comflash-gui"

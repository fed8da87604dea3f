#!/usr/bin/env bash
# The Windows window (build-win/bin/comflash.exe) under Wine, in a Wine prefix
# of its own (build-win/wine, made on the first start). With --sim, the
# simulated device (Linux build) is mapped as COM3 of that prefix; extra
# arguments go to the simulator. Without a display, it runs on Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source tools/sim-start.sh
EXE=${COMFLASH_WINDOWS_EXE:-build-win/bin/comflash.exe}
export WINEPREFIX=${WINEPREFIX:-$ROOT/build-win/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
mkdir -p "$WINEPREFIX"

sim=false
if [ "${1:-}" = "--sim" ]; then sim=true; shift; fi

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if $sim; then rm -f "$WINEPREFIX/dosdevices/com3"; fi
}
trap cleanup EXIT

preload=""
if $sim; then
  out=$(mktemp /tmp/comflash-gui-wine-XXXXXX)
  sim_start sim_pid "$out" - build/bin/comflash-sim "$@" || { rm -f "$out"; exit 1; }
  device=$sim_device
  rm -f "$out"
  # Wine waits for line events on a pseudo-terminal only with this help,
  # preloaded into its server (started here) as into the program.
  preload=$ROOT/build/tests/libcomflash_pty_modem_lines.so
  [ -f "$preload" ] || preload=""
  LD_PRELOAD=$preload wine wineboot --init > /dev/null 2>&1 || true
  ln -sfn "$device" "$WINEPREFIX/dosdevices/com3"
  echo "simulated device $device mapped as COM3; switch the port on, load a HEX file, press upload" >&2
fi

if [ -n "${DISPLAY:-}" ]; then
  LD_PRELOAD=$preload wine "$EXE"
else
  LD_PRELOAD=$preload xvfb-run -a -s "-screen 0 800x700x24" wine "$EXE"
fi

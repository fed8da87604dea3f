#!/usr/bin/env bash
# The main job end to end: a sample image, made by a real HEX tool, uploaded by
# comflash-cli into the simulated bootloader on a pseudo-terminal, then the
# device's memory compared with the image.
#   tools/demo.sh [--paced|--mcu]
#     --paced: the device answers at 115200 baud
#     --mcu:   the device is the bootloader firmware on an emulated ATmega128
#              (comflash-mcu), its UART at real 115200-baud line timing
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/sim-start.sh
BIN=${COMFLASH_BIN:-build/bin}
paced=()
mcu=""
case "${1:-}" in
  --paced) paced=(--baud 115200) ;;
  --mcu) mcu=yes ;;
  "") ;;
  *) echo "usage: $0 [--paced|--mcu]" >&2; exit 64 ;;
esac
loader=${COMFLASH_BOOTLOADER:-build/firmware/bootloader.bin}
if [ -n "$mcu" ]; then
  [ -x "$BIN/comflash-mcu" ] ||
    { echo "$0: $BIN/comflash-mcu is not built (it needs libsimavr-dev; see ./run setup)" >&2; exit 1; }
  [ -s "$loader" ] ||
    { echo "$0: $loader is not built (it needs gcc-avr and avr-libc; see ./run setup)" >&2; exit 1; }
fi

work=$(mktemp -d /tmp/comflash-demo-XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# 1. The sample image: random bytes for image addresses 0x0C00 to 0x1F7FF
#    (blocks 3 to 125), as Intel HEX written by objcopy.
first=$((0x0C00)); end=$((0x1F800)); size=$((end - first))
head -c "$size" /dev/urandom > "$work/image.bin"
objcopy -I binary -O ihex --change-addresses "$first" "$work/image.bin" "$work/sample.hex"
echo "== sample image: $work/sample.hex ($(wc -l < "$work/sample.hex") records, $size bytes at 0x0C00..0x1F7FF)"

# 2. The simulated device, or the emulated chip.
if [ -n "$mcu" ]; then
  device=("$BIN/comflash-mcu" --dump "$work/device.bin")
else
  device=("$BIN/comflash-sim" --dump "$work/device.bin" "${paced[@]}")
fi
sim_start sim_pid "$work/sim.out" "$work/sim.err" "${device[@]}" || exit 1
port=$sim_device
if [ -n "$mcu" ]; then
  echo "== emulated ATmega128 (14.7456 MHz, bootloader at 0x1F800, USART0 at 115200 baud) on $port"
else
  echo "== simulated device on $port${paced:+ (paced at 115200 baud)}"
fi

# 3. The upload.
start=$(date +%s.%N)
status=0
"$BIN/comflash-cli" -p "$port" "$work/sample.hex" || status=$?
finish=$(date +%s.%N)
kill -TERM "$sim_pid"; wait "$sim_pid" || true; sim_pid=""

# 4. The verdict: the device's memory against the image.
seconds=$(awk -v a="$start" -v b="$finish" 'BEGIN { printf "%.2f", b - a }')
line=$(awk 'BEGIN { printf "%.2f", 123 * (1028 + 3) * 10 / 115200 }')
ratio=$(awk -v s="$seconds" -v l="$line" 'BEGIN { printf "%.2f", s / l }')
boot_ok=yes
if [ -n "$mcu" ]; then
  # The boot section: the loader's own bytes, then erased flash to the end.
  boot_size=$((0x20000 - end))
  { cat "$loader"; head -c $((boot_size - $(stat -c %s "$loader"))) /dev/zero | tr '\0' '\377'; } \
    > "$work/boot.bin"
  cmp -s <(tail -c +$((end + 1)) "$work/device.bin") "$work/boot.bin" || boot_ok=""
fi
if [ "$status" -eq 0 ] && [ -n "$boot_ok" ] &&
   cmp -s <(tail -c +$((first + 1)) "$work/device.bin" | head -c "$size") "$work/image.bin"; then
  if [ -n "$mcu" ]; then
    echo "PASS: 123 blocks written into the emulated ATmega128's flash and verified, boot section unchanged, in $seconds s, $ratio x the $line s line time at 115200 baud"
  else
    echo "PASS: 123 blocks written and verified in $seconds s, $ratio x the $line s line time at 115200 baud"
  fi
elif [ -z "$boot_ok" ]; then
  echo "FAIL: the boot section of the emulated chip changed ($seconds s)"
  exit 1
else
  echo "FAIL: upload status $status; the device's memory does not match the image ($seconds s)"
  exit 1
fi

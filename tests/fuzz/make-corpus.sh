#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets: HEX files from real tools and the malformed cases
# of the loader's tests, and host streams of real requests for the frame parser. The files are
# kept in the tree; run this again only to change the seeds.
set -euo pipefail
cd "$(dirname "$0")"
hex=corpus/hex_loader
frames=corpus/frame_parser
mkdir -p "$hex" "$frames"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Deterministic bytes: the same seeds on every run.
bytes() { perl -e 'srand($ARGV[1]); print map { chr(int(rand(256))) } 1 .. $ARGV[0]' "$1" "$2"; }

bytes 64 1 >"$tmp/small.bin"
bytes 48 2 >"$tmp/cross.bin"
bytes 96 3 >"$tmp/top.bin"
objcopy -I binary -O ihex "$tmp/small.bin" "$hex/objcopy-64-at-0.hex"
objcopy -I binary -O ihex --change-addresses 0xFFE8 "$tmp/cross.bin" "$hex/objcopy-across-64k.hex"
objcopy -I binary -O ihex --change-addresses 0x1FFA0 "$tmp/top.bin" "$hex/objcopy-image-end.hex"
objcopy -I binary -O ihex --change-addresses 0x1FFF0 "$tmp/cross.bin" "$hex/objcopy-past-image-end.hex"
srec_cat "$tmp/small.bin" -binary -o "$hex/srec-cat-64-at-0.hex" -intel
srec_cat "$tmp/top.bin" -binary -offset 0x1FFA0 -o "$hex/srec-cat-linear-image-end.hex" -intel
srec_cat "$tmp/cross.bin" -binary -offset 0xFFE8 -o "$hex/srec-cat-lowercase.hex" -intel
sed -i 's/[A-F]/\L&/g' "$hex/srec-cat-lowercase.hex"
# The extras that tools write: a byte-order mark, CR LF, Ctrl-Z, comments; a quoted record.
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' "$hex/srec-cat-64-at-0.hex"; printf '\x1A'; } >"$hex/bom-crlf-ctrl-z.hex"
{ cat "$hex/objcopy-64-at-0.hex"; printf '; built by make\n\n-- end --\n:0100100042AD\n'; } >"$hex/text-after-end.hex"
{ printf '; built 12:30:05\n'; head -n 2 "$hex/objcopy-64-at-0.hex"; printf '# checked: yes\n> :0300300002337A1E\n'; } >"$hex/text-between-records.hex"
{ head -n 2 "$hex/objcopy-64-at-0.hex"; printf ':00000006FA\n:0412340AFFFFFFFFBA\n'; tail -n +3 "$hex/objcopy-64-at-0.hex"; } >"$hex/types-06-and-above.hex"

# The malformed cases of the loader's tests, each between good records.
good=':0300300002337A1E'
i=0
while IFS= read -r bad; do
  i=$((i + 1))
  printf ':020000021000EC\n%s\n\n%s\n:00000001FF\n' "$good" "$bad" >"$hex/malformed-$i.hex"
done <<'CASES'
:0300300002337A1F
:0300300002G37A1E
0300300002337A1E
 :0300300002337A1E
:000030
:
:0400300002337A1D
:0200300002337A1F
:0300300002337A1E1E
; a comment
:00000006FG
:00000006FB
:0100000210ED
:03000004000102F6
:020000022000DC
CASES
printf ':020000040002F8\n:0100000001FE\n' >"$hex/linear-past-image.hex"
printf ':02000004FFFFFC\n:01FFFF000100\n' >"$hex/linear-past-32-bits.hex"

# Frames: 4 option bytes (handshake mode, refused block, dropped-after block, flags), 4 bytes
# seeding the cuts, then the host's bytes.
frame() {  # block number, data file[, repeated number]: 0x11 N N data XOR
  local n=$1 m=${3:-$1} x=$((0x11 ^ $1 ^ ${3:-$1})) b
  for b in $(od -An -v -tu1 "$2"); do x=$((x ^ b)); done
  printf "\\x11\\x$(printf %02x "$n")\\x$(printf %02x "$m")"
  cat "$2"
  printf "\\x$(printf %02x "$x")"
}
bytes 1024 4 >"$tmp/d1"
bytes 1024 5 >"$tmp/d2"
head -c 1024 /dev/zero >"$tmp/zero"
opts() { printf "\\x$1\\x$2\\x$3\\x$4"; printf '\x01\x02\x03\x04'; }
{ opts 00 ff ff 00; printf '\x33\x33'; frame 3 "$tmp/d1"; frame 4 "$tmp/d2"; } >"$frames/handshake-two-blocks.bin"
{ opts 00 ff ff 00; frame 3 "$tmp/zero"; } >"$frames/zero-block.bin"
{ opts 04 05 ff 02; printf '\x33\x33'; frame 5 "$tmp/d1"; frame 5 "$tmp/d1"; } >"$frames/late-and-refused.bin"
{ opts 01 ff 03 01; frame 3 "$tmp/d1"; frame 4 "$tmp/d1"; } >"$frames/drop-after-paced.bin"
{ opts 00 ff ff 00; frame 3 "$tmp/d1" >"$tmp/f3"; head -c 1027 "$tmp/f3"; printf '\x00'; frame 4 "$tmp/d2"; } >"$frames/bad-xor.bin"
{ opts 00 ff ff 00; frame 3 "$tmp/d1" 4; } >"$frames/bad-number.bin"
{ opts 00 ff ff 00; frame 200 "$tmp/d1"; } >"$frames/number-past-memory.bin"
{ opts 02 ff ff 00; bytes 300 6; printf '\x33\x42\x33\x33'; frame 7 "$tmp/d2"; } >"$frames/noise-then-requests.bin"
{ opts 00 ff ff 00; frame 3 "$tmp/d1" >"$tmp/f3"; head -c 500 "$tmp/f3"; frame 3 "$tmp/d1"; } >"$frames/partial-then-whole.bin"
ls "$hex" "$frames" | wc -l

#!/usr/bin/env bash
# The paced upload under Wine: comflash-cli.exe to its final log line against
# the bare Win32 host (bench/win32), each on a fresh simulated device paced at
# 115200 baud and mapped as COM5 of a Wine prefix of its own; rounds taken in
# turn, the best of each kept. The bare host is timed twice: its upload alone,
# from inside, and as a program started as the CLI is, from its start to its
# final line (what a user's stopwatch sees of either). Prints the figures,
# both ratios, the CPU and what starting a program costs under Wine (the bench
# host started in the CLI's place, printing the final line at once).
#   bench/wine_bench.sh [LINUX_BUILD [WINDOWS_BUILD [ROUNDS]]]
# Needs comflash-sim and the modem-line help in LINUX_BUILD (./run build),
# comflash-cli.exe and upload_bench_win32.exe in WINDOWS_BUILD/bin
# (./run build --windows). COMFLASH_BENCH_CLI names another comflash-cli.exe
# to time (a build from before a change, for its figure in the same run).
set -Eeuo pipefail
trap 'rc=$?; echo "bench/wine_bench.sh: line $LINENO: $BASH_COMMAND ended with $rc" >&2' ERR
cd "$(dirname "$0")/.."
LINUX_BUILD=$(realpath "${1:-build}")
WINDOWS_BUILD=$(realpath "${2:-build-win}")
ROUNDS=${3:-3}
WBIN=$WINDOWS_BUILD/bin
CLI=${COMFLASH_BENCH_CLI:-$WBIN/comflash-cli.exe}
preload=$LINUX_BUILD/tests/libcomflash_pty_modem_lines.so
for f in "$LINUX_BUILD/bin/comflash-sim" "$preload" "$CLI" "$WBIN/upload_bench_win32.exe"; do
  [ -e "$f" ] || { echo "missing $f" >&2; exit 1; }
done

work=$(mktemp -d /tmp/comflash-wine-bench-XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server_pid="" sim_pid=""
# shellcheck source=tests/wine/session.sh
source tests/wine/session.sh
trap end_wine_session EXIT

# The prefix first, with nothing else running in it; then one persistent
# server, so no timed program pays for starting one.
LD_PRELOAD=$preload wine wineboot --init > "$work/wineboot.log" 2>&1
wineserver -w
LD_PRELOAD=$preload wineserver --foreground --persistent > "$work/wineserver.log" 2>&1 &
server_pid=$!
LD_PRELOAD=$preload wine cmd /c exit 0 > "$work/session.log" 2>&1

# watch_cpu PATTERN OUT: writes to OUT the CPU seconds (user + system) of the
# Linux process whose command line begins with PATTERN, as last seen before
# it ended (sampled every 20 ms, until it ends or $work/stop appears).
# Wine's GetProcessTimes of a child tells little of its CPU (a child that
# spun for 1 s was reported at 0.07 s), so the CPU is taken from the Linux
# side, for both programs alike; each figure includes the process's own
# start under Wine (some 10 ms).
watch_cpu() {
  local pattern=$1 out=$2 pid="" ticks=0 f tick seen=0
  tick=$(getconf CLK_TCK)
  while [ ! -e "$work/stop" ]; do
    [ -n "$pid" ] || pid=$(pgrep -n -f -- "^$(sed 's/[][\\.*^$+?(){}|]/\\&/g' <<< "$pattern")" || true)
    if [ -n "$pid" ]; then
      seen=1
      # utime and stime are fields 14 and 15; the name in field 2 has no spaces here.
      read -r -a f 2>/dev/null < "/proc/$pid/stat" || break
      ticks=$((f[13] + f[14]))
    elif [ "$seen" = 1 ]; then
      break
    fi
    sleep 0.02
  done
  awk -v t="$ticks" -v h="$tick" 'BEGIN { printf "%.3f\n", t / h }' > "$out"
}

# one PATTERN MODE [PROGRAM]: one timed run on a fresh paced device, the CPU
# of the process PATTERN begins; prints its line with "linuxcpu C" added.
one() {
  local pattern=$1 watcher
  shift
  rm -f "$work/sim.out"
  "$LINUX_BUILD/bin/comflash-sim" --baud 115200 > "$work/sim.out" 2> "$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
  done
  ln -sfn "$(head -n 1 "$work/sim.out")" "$WINEPREFIX/dosdevices/com5"
  watch_cpu "$pattern" "$work/cpu" &
  watcher=$!
  local line
  line=$(LD_PRELOAD=$preload wine "$WBIN/upload_bench_win32.exe" "$@" 2>&1 | tr -d '\r' | tail -n 1)
  touch "$work/stop"
  wait "$watcher" || true
  rm -f "$work/stop"
  echo "$line linuxcpu $(cat "$work/cpu")"
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

cli_win=$(winepath -w "$CLI")
host_win=$(winepath -w "$WBIN/upload_bench_win32.exe")
: > "$work/bare" && : > "$work/program" && : > "$work/cli" && : > "$work/start"
for round in $(seq "$ROUNDS"); do
  one "$WBIN/upload_bench_win32.exe bare" bare COM5 | tee -a "$work/bare" |
    sed "s/^/round $round bare: /"
  # A program started by another under Wine has its Windows path for a name.
  one "$cli_win -q" cli COM5 "$cli_win" | tee -a "$work/cli" | sed "s/^/round $round cli:  /"
  one "$host_win -q" cli COM5 "$host_win" | tee -a "$work/start" |
    sed "s/^/round $round start: /"
  one "$host_win -q" cli COM5 "$host_win" --bare | tee -a "$work/program" |
    sed "s/^/round $round bare as a program: /"
done
# best WALL CPU of a file of "wall W cpu C status S linuxcpu L" lines
# (status 0 only); the CPU is the Linux side's of the same run.
best() { awk '$6 == 0 && (b == "" || $2 < b) { b = $2; c = $8 } END { print b, c }' "$1"; }
read -r bare_wall bare_cpu < <(best "$work/bare")
read -r cli_wall cli_cpu < <(best "$work/cli")
read -r start_wall _ < <(best "$work/start")
read -r program_wall _ < <(best "$work/program")
line=$(awk 'BEGIN { printf "%.3f", (123 * (1028 + 3) + 5) * 10 / 115200 }')
echo "paced at 115200 baud under Wine, best of $ROUNDS (line time $line s):"
awk -v b="$bare_wall" -v c="$cli_wall" -v bc="$bare_cpu" -v cc="$cli_cpu" -v s="$start_wall" \
  -v p="$program_wall" 'BEGIN {
  printf "  bare Win32 host, its upload alone:   %8.3f s  CPU %5.2f %% of a core\n", b, 100 * bc / b
  printf "  bare Win32 host as a program:        %8.3f s  (from its start to its final line)\n", p
  printf "  comflash-cli.exe to its final line:  %8.3f s  CPU %5.2f %% of a core (to its exit)\n", c, 100 * cc / c
  printf "  ratio %.4f (against the upload alone: Wine'"'"'s start in the CLI'"'"'s figure only)\n", c / b
  printf "  ratio %.4f as programs (both from their start)\n", c / p
  printf "  a program that prints the final line at once: %.3f s (Wine'"'"'s start)\n", s
}'

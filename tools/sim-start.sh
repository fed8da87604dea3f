# Sourced by the scripts that start a simulated device (comflash-sim or
# comflash-mcu) and need the path it prints as its first line.
#
# sim_start PIDS OUT ERR PROGRAM [ARGS...]
#   Starts PROGRAM in the background with its output in OUT and its errors in
#   ERR ("-": left where they go), adds its id to the variable named PIDS (the
#   caller's cleanup ends what is listed there) and sets sim_last_pid. Waits up
#   to 5 s for the first line and sets sim_device to it; without one, says so
#   with what the program wrote on ERR and returns 1.
sim_start() {
  local pids=$1 out=$2 err=$3 _
  shift 3
  if [ "$err" = - ]; then
    "$@" > "$out" &
  else
    "$@" > "$out" 2> "$err" &
  fi
  sim_last_pid=$!
  printf -v "$pids" '%s' "${!pids:+${!pids} }$sim_last_pid"
  for _ in $(seq 100); do
    [ -s "$out" ] && break
    sleep 0.05
  done
  sim_device=$(head -n 1 "$out")
  if [ -z "$sim_device" ]; then
    echo "the simulator did not start:" >&2
    if [ "$err" != - ]; then cat "$err" >&2; fi
    return 1
  fi
}

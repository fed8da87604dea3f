# Sourced by the scripts that run Windows programs under Wine on a prefix of
# their own (tests/wine/run.sh, bench/wine_bench.sh).
#
# end_wine_session: what the script started ends, then its folder goes. It
# reads $server_pid (the script's persistent Wine server), $sim_pid (its
# simulated devices) and $work (its folder). The Windows processes of the
# session (its services among them) end with the session's server; a server
# ended by a signal would leave them, so the server ends them first.
end_wine_session() {
  local pid
  if [ -n "${server_pid:-}" ] && kill -0 "$server_pid" 2>/dev/null; then
    wineserver -k 2>/dev/null || true
  fi
  for pid in ${sim_pid:-} ${server_pid:-}; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}

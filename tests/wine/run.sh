#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, on pseudo-terminals mapped as COM
# ports of a fresh Wine prefix, with the Linux simulated device at the other
# end, then comflash-cli.exe itself under Wine (wine_cli_tests, Linux side).
#   tests/wine/run.sh LINUX_BUILD WINDOWS_BUILD
# Needs in LINUX_BUILD: comflash-sim, wine_cli_tests, comflash_pty_modem_lines;
# in WINDOWS_BUILD: the test programs and comflash-cli.exe.
set -Eeuo pipefail
# A step that fails ends the run; say which, so a log shows more than a code.
trap 'rc=$?; echo "tests/wine/run.sh: line $LINENO: $BASH_COMMAND ended with $rc" >&2' ERR
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/sim-start.sh"
LINUX_BUILD=$(realpath "$1")
WINDOWS_BUILD=$(realpath "$2")
WBIN=$WINDOWS_BUILD/bin

# Test programs of the Windows build, and the tests that cannot hold under
# Wine with the reason each is left out (shown by name in the summary).
PROGRAMS=(framework_tests serial_tests core_tests win32_tests)
declare -A WINE_SKIPS=(
  [core_tests]="HexLoaderToolTest.*:HexRealFileTest.*"
)
declare -A WINE_SKIP_REASONS=(
  [HexLoaderToolTest.*:HexRealFileTest.*]="make their files with the Linux tools objcopy and srec_cat through a POSIX shell"
)

work=$(mktemp -d /tmp/comflash-wine-XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# Names on the Unix side (the tests' folders) are UTF-8 whatever the caller's
# locale; Wine reads them, and its ANSI code page (1252), from this locale.
export LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
server_pid=""
sim_pid=""
# shellcheck source=tests/wine/session.sh
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
trap end_wine_session EXIT

start=$(date +%s)
# Wine waits for line events on a pseudo-terminal only with the modem-line
# help preloaded, into the server as into the programs.
preload=$LINUX_BUILD/tests/libcomflash_pty_modem_lines.so
[ -f "$preload" ] || { echo "missing $preload" >&2; exit 1; }

# init_prefix PREFIX LOG: makes a Wine prefix and waits for the server it
# started to end. Made while another server was starting, a prefix was seen
# to come out unusable ("could not load kernel32.dll", exit 53), so nothing
# else runs in it meanwhile, and a failure shows its log and is tried again.
init_prefix() {
  local prefix=$1 log=$2 try
  for try in 1 2 3; do
    rm -rf "$prefix"
    if WINEPREFIX=$prefix LD_PRELOAD=$preload wine wineboot --init > "$log" 2>&1; then
      WINEPREFIX=$prefix wineserver -w
      return 0
    fi
    WINEPREFIX=$prefix wineserver -w || true
    echo "== making the Wine prefix $prefix failed (try $try of 3):" >&2
    cat "$log" >&2
  done
  return 1
}
init_prefix "$WINEPREFIX" "$work/wineboot.log"
# Then one server for the whole run, in the foreground of its own job so it
# ends by its id; its diagnostics go to a log, not into the tests' output.
LD_PRELOAD=$preload wineserver --foreground --persistent > "$work/wineserver.log" 2>&1 &
server_pid=$!
# The session's first program starts its services, which keep that
# program's output open for as long as they run: a program of its own, with
# its output in a log, so no test's output stays open behind it.
for try in 1 2 3; do
  LD_PRELOAD=$preload wine cmd /c exit 0 > "$work/session.log" 2>&1 && break
  echo "== starting the Wine session failed (try $try of 3):" >&2
  cat "$work/session.log" >&2
  [ "$try" -eq 3 ] && exit 1
done
echo "== Wine prefix $WINEPREFIX ready in $(( $(date +%s) - start )) s"

# The device the Windows test programs talk to, as COM4.
sim_start sim_pid "$work/sim.out" "$work/sim.err" "$LINUX_BUILD/bin/comflash-sim"
slave=$sim_device
ln -sfn "$slave" "$WINEPREFIX/dosdevices/com4"
rm -f "$WINEPREFIX/dosdevices/com9"  # the missing port of the tests

total=0 passed=0 skipped=0 failed=0
failures=()
skip_lines=()
# count PROGRAM LOG: adds the program's gtest summary to the totals.
count() {
  local log=$2 ran ok sk
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -n 1)
  ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n 1)
  sk=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n 1)
  total=$((total + ${ran:-0})); passed=$((passed + ${ok:-0})); skipped=$((skipped + ${sk:-0}))
  while IFS= read -r line; do skip_lines+=("$1: $line"); done < <(
    awk '/: Skipped$/ { getline; reason = $0; next }
         /^\[  SKIPPED \] [^ ]+ \(/ { print $4 " -- " reason; reason = "" }' "$log" | sort -u)
}

# run_program PROGRAM [PASS]: one test program of the Windows build.
run_program() {
  local program=$1 pass=${2:-} filter=${WINE_SKIPS[$1]:-} args=() status=0
  local log=$work/$program${pass:+-$pass}.log
  [ -n "$filter" ] && args=(--gtest_filter="-$filter")
  LD_PRELOAD=$preload COMFLASH_TEST_COM=COM4 timeout 600 \
    wine "$WBIN/$program.exe" "${args[@]}" 2>&1 | tr -d '\r' > "$log" || status=$?
  count "$program" "$log"
  if [ "$status" -ne 0 ]; then
    failed=$((failed + 1)); failures+=("$program${pass:+ ($pass)} (exit $status)")
    cat "$log"
  fi
  echo "== $program.exe${pass:+ ($pass)}: $(sed -n 's/^\[==========\] \(.* ran\..*\)/\1/p' "$log" | tail -n 1) exit $status"
}
for program in "${PROGRAMS[@]}"; do run_program "$program"; done

# The window on its Win32 controls, on an X server of its own per run: first
# every test that needs no simulator of its own (COM4 is the device above),
# then each whole upload with the simulated device it needs as COM3.
# run_window NAME FILTER [SIMULATOR OPTIONS...]
run_window() {
  local name=$1 filter=$2; shift 2
  local log=$work/window_tests-$name.log status=0 device="" pid=""
  local env=(COMFLASH_TEST_COM=COM4)
  if [ $# -gt 0 ]; then
    rm -f "$work/window-sim.out" "$work/device.bin"
    sim_start sim_pid "$work/window-sim.out" "$work/window-sim.err" \
      "$LINUX_BUILD/bin/comflash-sim" --dump "$work/device.bin" "$@"
    pid=$sim_last_pid device=$sim_device
    ln -sfn "$device" "$wprefix/dosdevices/com3"
    env+=(COMFLASH_WINDOW_SIM="$*" COMFLASH_WINDOW_SIM_DUMP="Z:${work//\//\\}\\device.bin")
  fi
  env "${env[@]}" WINEPREFIX="$wprefix" LD_PRELOAD=$preload timeout 600 \
    xvfb-run -a -s "-screen 0 ${WINDOW_SCREEN:-1280x1024}x24" \
    wine "$WBIN/window_tests.exe" --gtest_filter="$filter" 2>&1 | tr -d '\r' > "$log" || status=$?
  WINEPREFIX=$wprefix wineserver -w  # its desktop goes with this run's X server
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -f "$wprefix/dosdevices/com3"
  fi
  count window_tests "$log"
  if [ "$status" -ne 0 ]; then
    failed=$((failed + 1)); failures+=("window_tests $name (exit $status)")
    cat "$log"
  fi
  echo "== window_tests.exe ($name): $(sed -n 's/^\[==========\] \(.* ran\..*\)/\1/p' "$log" | tail -n 1) exit $status"
}
if [ -f "$WBIN/window_tests.exe" ]; then
  # A prefix of its own, with no server kept: the desktop takes the screen of
  # the X server the first window program of a run brings up (the persistent
  # server above would keep one made without a display, 1024 x 768).
  wprefix=$work/window-prefix
  init_prefix "$wprefix" "$work/window-wineboot.log"
  # With no window manager, Wine waits up to 2 s for one at every hidden or
  # destroyed window unless its windows are unmanaged.
  WINEPREFIX=$wprefix wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    > "$work/reg.log" 2>&1
  WINEPREFIX=$wprefix wineserver -w
  ln -sfn "$slave" "$wprefix/dosdevices/com4"
  rm -f "$wprefix/dosdevices/com9"
  WINE_SKIPS[window_tests]="FileButton.AWholeImageWrittenByObjcopyLoadsCompletely"
  WINE_SKIP_REASONS[FileButton.AWholeImageWrittenByObjcopyLoadsCompletely]="runs the Linux tool objcopy through a POSIX shell; WindowUpload loads a whole image instead"
  run_window controls "-WindowUpload.*:${WINE_SKIPS[window_tests]}"
  run_window upload "WindowUpload.LoadSwitchOnUploadAndTheDeviceHoldsTheImage:WindowUpload.ClosedDuringAnUploadTheRunEndsAndThenTheWindowCloses" --refuse 7:2
  run_window drop "WindowUpload.TheDeviceDroppingTheLineIsShownAndThePortCanBeSwitchedOff" \
    --drop-after 10
  # At 144 dpi (150 %, the common laptop setting): the window's layout and
  # font at 1.5 times the design, and the layer still in design units.
  set_dpi() {
    WINEPREFIX=$wprefix wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
      /d "$1" /f > "$work/reg-dpi.log" 2>&1
    WINEPREFIX=$wprefix wineserver -w
  }
  set_dpi 144
  # (On a screen that holds the resizing tests' 600 x 800 at that scale.)
  export COMFLASH_TEST_DPI=144 WINDOW_SCREEN=1920x1440
  run_window dpi144 "WindowDpi.*:MainWindow.*"
  unset COMFLASH_TEST_DPI WINDOW_SCREEN
  set_dpi 96
fi

# comflash-cli.exe under Wine, driven from the Linux side.
# run_cli_tests [PASS]
run_cli_tests() {
  local pass=${1:-} log=$work/wine_cli_tests${1:+-$1}.log status=0
  COMFLASH_WINDOWS_BIN=$WBIN COMFLASH_WINE_PRELOAD=$preload timeout 900 \
    "$LINUX_BUILD/bin/wine_cli_tests" > "$log" 2>&1 || status=$?
  count wine_cli_tests "$log"
  if [ "$status" -ne 0 ]; then
    failed=$((failed + 1)); failures+=("wine_cli_tests${pass:+ ($pass)} (exit $status)")
    cat "$log"
  fi
  echo "== wine_cli_tests (comflash-cli.exe under Wine${pass:+, $pass}): $(sed -n 's/^\[==========\] \(.* ran\..*\)/\1/p' "$log" | tail -n 1) exit $status"
}
run_cli_tests

# The same programs again as on a Russian Windows: ANSI code page 1251, OEM
# 866, the system's texts in Russian. Wine takes its code pages from the Unix
# locale, which need not be installed: it is compiled into the run's folder.
# The window's tests hold no text of the system's and are not run twice.
ru_start=$(date +%s)
mkdir -p "$work/locale"
if localedef -i ru_RU -f UTF-8 "$work/locale/ru_RU.UTF-8" > "$work/localedef.log" 2>&1; then
  export LOCPATH=$work/locale LC_ALL=ru_RU.UTF-8
  run_program win32_tests ru_RU
  run_cli_tests ru_RU
  export LC_ALL=C.UTF-8
  unset LOCPATH
  echo "== the Russian pass took $(( $(date +%s) - ru_start )) s"
else
  failed=$((failed + 1)); failures+=("the Russian locale (localedef)")
  cat "$work/localedef.log" >&2
fi

echo "== Skipped under Wine, by name:"
for program in "${!WINE_SKIPS[@]}"; do
  pattern=${WINE_SKIPS[$program]}
  echo "   $program: $pattern -- not run: ${WINE_SKIP_REASONS[$pattern]}"
done
for line in "${skip_lines[@]}"; do echo "   $line"; done
echo "== Under Wine: $total tests ran, $passed passed, $skipped skipped (named above)," \
     "in $(( $(date +%s) - start )) s"
if [ "$failed" -ne 0 ]; then
  echo "FAILED: ${failures[*]}" >&2
  exit 1
fi

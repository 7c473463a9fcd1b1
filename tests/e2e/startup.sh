# SPDX-License-Identifier: MIT
# Start-up of both executables: the argument, the banner, open, bit mode.
. "$(dirname "$0")/lib.sh"

banner='FTDI Bit Bang mode'
log="$work/calls.log"

# With no FTDI device attached, the real build cannot open one.
run "$PINMON"
check "pinmon without a device" "$banner
Can't open device 0" "$out"
check "pinmon without a device: status" 255 "$status"

run "$PINMON" -1
check "pinmon -1" "$banner
Can't open device -1" "$out"
check "pinmon -1: status" 255 "$status"

# open_fails_with INDEX ARGUMENT...: the simulated open fails, and both the
# message and the call log show INDEX.
open_fails_with() {
  local index=$1
  shift
  rm -f "$log"
  PINMON_SIM=open=fail PINMON_SIM_LOG=$log run "$PINMON_SIM_EXE" "$@"
  expect_open_failure "$index" "$log"
}
# The conversion itself has its own table; these show its result reaching
# the device unchanged.
open_fails_with 0
open_fails_with 0 3 4
open_fails_with 5 "  +5x"
open_fails_with -1 -1
open_fails_with -2147483648 -2147483648

# Unless told otherwise, the simulation has one device, at index 0.
run "$PINMON_SIM_EXE" 1
check "no second simulated device" "$banner
Can't open device 1" "$out"

for case in "${twelve_devices_cases[@]}"; do
  read -r index argument outcome <<<"$case"
  rm -f "$log"
  if [ "$outcome" == opens ]; then
    PINMON_SIM=devices=12 PINMON_SIM_LOG=$log run_until_lines 3 \
      "$PINMON_SIM_EXE" "$argument"
    expect_opened "$index" "$log"
  else
    PINMON_SIM=devices=12 PINMON_SIM_LOG=$log run \
      "$PINMON_SIM_EXE" "$argument"
    expect_open_failure "$index" "$log"
  fi
done

rm -f "$log"
PINMON_SIM=mode=fail PINMON_SIM_LOG=$log run "$PINMON_SIM_EXE"
expect_mode_failure "$log"

rm -f "$log"
PINMON_SIM_LOG=$log run_until_lines 3 "$PINMON_SIM_EXE"
check "start-up" "$banner
Device 0 opened
BitBang mode On" "$out"
handle=$(log_field open 4 "$log")
check "start-up: bit mode set on the opened handle" "open 0 0 $handle
setbitmode $handle 00 01 0" "$(head -n 2 "$log")"

# bad_argument ARGUMENT MESSAGE: both executables refuse it before any
# output and before any call to the device.
bad_argument() {
  local exe
  for exe in "$PINMON" "$PINMON_SIM_EXE"; do
    rm -f "$log"
    PINMON_SIM_LOG=$log run "$exe" "$1"
    check "$exe \"$1\": standard output" "" "$out"
    check "$exe \"$1\": message" "pinmon: invalid device index \"$1\": $2
usage: pinmon [device-index]" "$err"
    check "$exe \"$1\": status" 2 "$status"
    check_true "$exe \"$1\": no device call" test ! -s "$log"
  done
}
bad_argument x5 "invalid stoi argument"
bad_argument "" "invalid stoi argument"
bad_argument - "invalid stoi argument"
bad_argument "  " "invalid stoi argument"
bad_argument 2147483648 "stoi argument out of range"
bad_argument -2147483649 "stoi argument out of range"
bad_argument 99999999999999999999 "stoi argument out of range"

# settings the simulated device does not understand
bad_setting() {
  rm -f "$log"
  PINMON_SIM=$1 PINMON_SIM_LOG=$log run "$PINMON_SIM_EXE"
  check "PINMON_SIM=\"$1\": status" 3 "$status"
  check_true "PINMON_SIM=\"$1\": says why" grep -qF "$2" "$work/err"
  check_true "PINMON_SIM=\"$1\": no call answered" test ! -s "$log"
}
bad_setting "open=maybe" 'unknown setting "open=maybe"'
bad_setting "mode=fail speed=9" 'unknown setting "speed=9"'
bad_setting "pins=" 'bad entry ""'
bad_setting "pins=1,02" 'bad entry "1"'
bad_setting "pins=01,,02" 'bad entry ""'
bad_setting "pins=0g" 'bad entry "0g"'
bad_setting "pins=100" 'bad entry "100"'
bad_setting "devices=" 'bad count in "devices="'
bad_setting "devices=-1" 'bad count in "devices=-1"'
bad_setting "devices=1001" 'bad count in "devices=1001"'
bad_setting "devices=99999999999999999999" 'bad count'

PINMON_SIM_LOG=$work/no/such/folder/calls.log run "$PINMON_SIM_EXE"
check "PINMON_SIM_LOG in a folder that is not there: status" 3 "$status"
check_true "PINMON_SIM_LOG in a folder that is not there: says why" \
  grep -qF 'PINMON_SIM_LOG: cannot open' "$work/err"

# A failed read leaves the caller's byte alone; a good one writes it.
PINMON_SIM=pins=42,x,00 run "$READ_PROBE_SIM" 3
check "a failed read leaves the byte" "ok 42
failed 5a
ok 00" "$out"

finish

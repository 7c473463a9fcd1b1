# SPDX-License-Identifier: MIT
# Both executables under valgrind's memcheck: no memory errors and no leak
# of the program's own, on every way out and in a short polling run.
. "$(dirname "$0")/lib.sh"

memcheck=(valgrind --leak-check=full --error-exitcode=99
  --errors-for-leak-kinds=definite,indirect,possible
  --log-file="$work/valgrind.log")

# clean_exit STATUS COMMAND...: ends by itself with STATUS, and memcheck
# found nothing (it would have exited 99).
clean_exit() {
  local expected=$1
  shift
  run "${memcheck[@]}" "$@"
  check "memcheck: $*" "$expected" "$status"
  [ "$status" == "$expected" ] || cat "$work/valgrind.log"
}
clean_exit 255 "$PINMON"
clean_exit 2 "$PINMON" x5
clean_exit 2 "$PINMON_SIM_EXE" 99999999999
PINMON_SIM=open=fail clean_exit 255 "$PINMON_SIM_EXE"
PINMON_SIM=mode=fail clean_exit 255 "$PINMON_SIM_EXE" +0

# A run that polls until ended from outside: memcheck reports on the way
# out but cannot set the status, so read its summary.
PINMON_SIM=pins=01,x,ff run_until_lines 8 "${memcheck[@]}" "$PINMON_SIM_EXE"
summary=$(grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost' \
  "$work/valgrind.log" | sed 's/^==[0-9]*== *//; s/ (suppressed.*//')
check "memcheck over a polling run" "definitely lost: 0 bytes in 0 blocks
indirectly lost: 0 bytes in 0 blocks
possibly lost: 0 bytes in 0 blocks
ERROR SUMMARY: 0 errors from 0 contexts" "$summary"
check "polling run under memcheck" "FTDI Bit Bang mode
Device 0 opened
BitBang mode On
Readed: 1 : 00000001
Failed to read pins
Readed: ff : 11111111
Readed: ff : 11111111
Readed: ff : 11111111" "$out"

finish

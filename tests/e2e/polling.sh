# SPDX-License-Identifier: MIT
# The polling loop of pinmon-sim: report lines, failed reads, pacing, and
# output that reaches a pipe or a file at once.
. "$(dirname "$0")/lib.sh"

startup='FTDI Bit Bang mode
Device 0 opened
BitBang mode On'
log="$work/calls.log"
failed='Failed to read pins'

# reads_as PINS LINES...: with the reads scripted by PINS, the start-up
# lines are followed by exactly LINES.
reads_as() {
  local pins=$1
  shift
  local expected
  expected=$(printf '%s\n' "$startup" "$@")
  PINMON_SIM="pins=$pins" run_until_lines $((3 + $#)) "$PINMON_SIM_EXE"
  check "pins=$pins" "$expected" "$out"
  # Still running when stopped: the loop never ends by itself.
  check "pins=$pins: ended from outside" 143 "$status"
}
reads_as 00,05,x,80,a5,x,x,ff,7f \
  'Readed: 0 : 00000000' 'Readed: 5 : 00000101' "$failed" \
  'Readed: 80 : 10000000' 'Readed: a5 : 10100101' "$failed" "$failed" \
  'Readed: ff : 11111111' 'Readed: 7f : 01111111' 'Readed: 7f : 01111111' \
  'Readed: 7f : 01111111'
# A first read that fails shows no reading at all.
reads_as x,42 "$failed" 'Readed: 42 : 01000010' 'Readed: 42 : 01000010'
# A device unplugged after two reads fails for ever, and nothing stale shows.
reads_as 12,3C,x 'Readed: 12 : 00010010' 'Readed: 3c : 00111100' \
  "$failed" "$failed" "$failed" "$failed" "$failed"
# Unscripted, the simulated lines go high one at a time, then low.
PINMON_SIM_LOG=$log run_until_lines 19 "$PINMON_SIM_EXE"
check "moving pattern" "$(printf '%s\n' "$startup" \
  'Readed: 1 : 00000001' 'Readed: 2 : 00000010' 'Readed: 4 : 00000100' \
  'Readed: 8 : 00001000' 'Readed: 10 : 00010000' 'Readed: 20 : 00100000' \
  'Readed: 40 : 01000000' 'Readed: 80 : 10000000' \
  'Readed: fe : 11111110' 'Readed: fd : 11111101' 'Readed: fb : 11111011' \
  'Readed: f7 : 11110111' 'Readed: ef : 11101111' 'Readed: df : 11011111' \
  'Readed: bf : 10111111' 'Readed: 7f : 01111111')" "$out"

# Every read after the bit mode gets the handle that open gave.
handle=$(log_field open 4 "$log")
check "reads use the opened handle" "" \
  "$(awk -v h="$handle" '$1 == "read" && $2 != h' "$log")"

# Reads are at least 100 ms apart (a lower bound only).
check "reads at least 100 ms apart" "" "$(reads_too_close "$log")"

# through_pipe PINS LINE: lines reach a pipe while the monitor is still
# running. A block-buffered pipe would hold back hundreds of lines (some
# 18 s of reads) before the first report line came through.
mkfifo "$work/pipe"
through_pipe() {
  rm -f "$log"
  PINMON_SIM=pins=$1 PINMON_SIM_LOG=$log "$PINMON_SIM_EXE" >"$work/pipe" &
  local pid=$!
  local lines=() line
  for _ in 1 2 3 4 5; do
    IFS= read -r -t 60 line || break
    lines+=("$line")
  done <"$work/pipe"
  local reads
  reads=$(count_calls read "$log")
  check_true "pins=$1: lines arrive through a pipe while running" kill -0 "$pid"
  check_true "pins=$1: lines arrive through a pipe at once ($reads reads for 2 lines)" \
    test "$reads" -lt 50
  check "pins=$1: lines through a pipe" "$(printf '%s\n' "$startup" "$2" "$2")" \
    "$(printf '%s\n' "${lines[@]}")"
  kill -TERM "$pid"
  wait "$pid"
}
through_pipe 5a 'Readed: 5a : 01011010'
through_pipe x "$failed"

# stopped_by SIGNAL PINS LINE...: every line produced before the signal is
# in the file; LINE... are the first lines after the start-up.
stopped_by() {
  local signal=$1 pins=$2
  shift 2
  rm -f "$log"
  # A background job of a script starts with SIGINT ignored: undo that.
  PINMON_SIM=pins=$pins PINMON_SIM_LOG=$log \
    env --default-signal="$signal" "$PINMON_SIM_EXE" >"$work/out" &
  local pid=$!
  wait_while "$pid" fewer_calls_than read 5 "$log"
  kill -s "$signal" "$pid"
  wait "$pid"
  local status=$?
  local reads lines
  reads=$(count_calls read "$log")
  lines=$(($(wc -l <"$work/out") - 3))
  check "$signal: ended by the signal" $((128 + $(kill -l "$signal"))) "$status"
  # The signal may land between a read and its line, never later.
  check_true "$signal, pins=$pins: $lines lines for $reads reads" \
    test "$lines" -ge $((reads - 1)) -a "$lines" -le "$reads"
  check "$signal, pins=$pins: the lines are whole and in order" \
    "$(printf '%s\n' "$startup" "$@" | head -n $((lines + 3)))" \
    "$(head -n 8 "$work/out")"
  check_true "$signal, pins=$pins: the file ends with a whole line" \
    test "$(tail -c 1 "$work/out" | od -An -c | tr -d ' ')" == '\n'
}
stopped_by TERM 01,02,x,03 'Readed: 1 : 00000001' 'Readed: 2 : 00000010' \
  "$failed" 'Readed: 3 : 00000011' 'Readed: 3 : 00000011'
stopped_by INT 01,02,x,03 'Readed: 1 : 00000001' 'Readed: 2 : 00000010' \
  "$failed" 'Readed: 3 : 00000011' 'Readed: 3 : 00000011'
# Once reads fail for good, only failure lines come: none may be held back.
stopped_by TERM 01,x 'Readed: 1 : 00000001' "$failed" "$failed" "$failed" \
  "$failed"

# When the reader of a pipe goes away, the monitor ends at its next line.
piped=$(timeout 60 bash -c 'env --default-signal=PIPE "$1" | head -n 3
  echo "status ${PIPESTATUS[0]}"' _ "$PINMON_SIM_EXE")
check "| head -3" "$startup
status 141" "$piped"
# With SIGPIPE ignored by whoever started it, the broken pipe ends it all
# the same, with the status a shell shows for SIGPIPE.
piped=$(timeout 60 bash -c 'trap "" PIPE; "$1" | head -n 3
  echo "status ${PIPESTATUS[0]}"' _ "$PINMON_SIM_EXE")
check "| head -3 with SIGPIPE ignored" "$startup
status 141" "$piped"

# Other output errors are ignored: on a full disk it keeps polling.
rm -f "$log"
PINMON_SIM_LOG=$log "$PINMON_SIM_EXE" >/dev/full 2>"$work/err" &
pid=$!
wait_while "$pid" fewer_calls_than read 5 "$log"
check_true "a full disk: still polling" kill -0 "$pid"
kill -TERM "$pid"
wait "$pid"
# A disk that gets room again takes the lines again.
PINMON_SIM=pins=5a PINMON_SIM_LOG=$log on_full_disk "$log" "$PINMON_SIM_EXE"
expect_output_resumes

finish

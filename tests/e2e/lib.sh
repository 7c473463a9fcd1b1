# SPDX-License-Identifier: MIT
# Helpers for the end-to-end tests. The executables come in $PINMON and
# $PINMON_SIM_EXE; each test script sources this file and ends with `finish`.

set -u
cases_passed=0
cases_failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PINMON_SIM PINMON_SIM_LOG

# check NAME EXPECTED ACTUAL
check() {
  if [ "$2" == "$3" ]; then
    cases_passed=$((cases_passed + 1))
  else
    cases_failed=$((cases_failed + 1))
    printf 'FAIL: %s\n--- expected\n%s\n--- actual\n%s\n---\n' "$1" "$2" "$3"
  fi
}

# check_true NAME COMMAND...: passes when the command succeeds.
check_true() {
  local name=$1
  shift
  if "$@"; then
    cases_passed=$((cases_passed + 1))
  else
    cases_failed=$((cases_failed + 1))
    printf 'FAIL: %s\n' "$name"
  fi
}

finish() {
  echo "$cases_passed passed, $cases_failed failed"
  [ "$cases_failed" -eq 0 ]
}

# run COMMAND...: runs a command that ends by itself; its standard output,
# error and status land in $out, $err and $status.
run() {
  "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

# wait_while PID COMMAND...: polls while COMMAND succeeds and PID runs. The
# 60 s limit only keeps a broken build from hanging the suite.
wait_while() {
  local pid=$1 deadline=$((SECONDS + 60))
  shift
  while "$@" && kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.02
  done
}
fewer_lines_than() { [ "$(wc -l <"$2")" -lt "$1" ]; }
fewer_calls_than() { [ "$(count_calls "$1" "$3")" -lt "$2" ]; }

# run_until_lines N COMMAND...: runs the monitor until its standard output
# holds N lines, then ends it with SIGTERM.
run_until_lines() {
  local want=$1
  shift
  # The job opens these itself; they must exist before the first look.
  : >"$work/out"
  : >"$work/err"
  "$@" >"$work/out" 2>"$work/err" </dev/null &
  local pid=$!
  wait_while "$pid" fewer_lines_than "$want" "$work/out"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  out=$(head -n "$want" "$work/out")
  err=$(cat "$work/err")
}

# count_calls CALL LOG: how many CALL lines the call log holds so far.
count_calls() {
  cat "$2" 2>/dev/null | grep -c "^$1 "
}

# The handle a call received or gave, from the call log: field 2 of a
# setbitmode or read line, field 4 of an open line.
log_field() {
  awk -v call="$1" -v field="$2" '$1 == call { print $field; exit }' "$3"
}

# After a run with open=fail: the banner, the index in the message, exit
# status 255, and a single open call in LOG. expect_open_failure INDEX LOG
expect_open_failure() {
  check "open $1 fails" "FTDI Bit Bang mode
Can't open device $1" "$out"
  check "open $1 fails: status" 255 "$status"
  check "open $1 fails: calls" "open $1 2 -" "$(cat "$2")"
}

# After a run with mode=fail: bit mode 00 01 was asked of the handle that
# open gave, and the run ended with status 255. expect_mode_failure LOG
expect_mode_failure() {
  check "mode fails" "FTDI Bit Bang mode
Device 0 opened
Failed to set bitbang mode" "$out"
  check "mode fails: status" 255 "$status"
  local handle
  handle=$(log_field open 4 "$1")
  check_true "mode fails: open gave a handle" test -n "$handle"
  check "mode fails: calls" "open 0 0 $handle
setbitmode $handle 00 01 4" "$(cat "$1")"
}

# After a run that opened device INDEX: the start-up lines, and a call log
# whose open gave a handle on which the bit mode was set.
# expect_opened INDEX LOG
expect_opened() {
  check "open $1" "FTDI Bit Bang mode
Device $1 opened
BitBang mode On" "$out"
  local handle
  handle=$(log_field open 4 "$2")
  check "open $1: calls" "open $1 0 $handle
setbitmode $handle 00 01 0" "$(head -n 2 "$2")"
}

# Indexes on a simulated bus of twelve devices: two digits, printed in
# decimal, reach the device; past the last one and below 0 they fail.
# Each case: INDEX ARGUMENT opens|fails
twelve_devices_cases=("10 10 opens" "11 +11 opens" "12 12 fails" "-1 -1 fails")

# Reads at least 100 ms apart, from a call log (a lower bound only).
reads_too_close() {
  awk '$1 == "read" { if (previous && $4 - previous < 100000000)
                        print "only " ($4 - previous) " ns after the last read"
                      previous = $4 }' "$1"
}

# on_full_disk LOG COMMAND...: runs the monitor with its standard output
# on a file that cannot grow (a size limit and a file at it), until the
# call log LOG holds 3 reads; the file is then emptied, as a disk that gets
# room again; $out is what reached it by the 6th read. The limit is the
# monitor's own, and SIGXFSZ is ignored, so that writes fail as on a full
# disk (EFBIG rather than ENOSPC).
on_full_disk() {
  local log=$1 file=$work/full.out
  shift
  rm -f "$log"
  head -c 4096 /dev/zero >"$file"
  (
    trap '' XFSZ
    ulimit -f 4
    exec "$@" >>"$file" 2>/dev/null
  ) &
  local pid=$!
  wait_while "$pid" fewer_calls_than read 3 "$log"
  : >"$file"
  wait_while "$pid" fewer_calls_than read 6 "$log"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  out=$(tr -d '\r' <"$file")
}

# After on_full_disk with pins=5a: what was printed while the disk was full
# is lost, and the lines come again once it has room.
expect_output_resumes() {
  check_true "a full disk, then room: report lines again" \
    grep -q '^Readed: 5a : 01011010$' <<<"$out"
  check "a full disk, then room: only whole report lines" "" \
    "$(grep -v '^Readed: 5a : 01011010$' <<<"$out")"
}

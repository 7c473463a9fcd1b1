# SPDX-License-Identifier: MIT
# pinmon-vcd: the monitor's output as a Value Change Dump. Every file made
# here is read back through GTKWave's own reader (vcd2fst, then fst2vcd),
# and the values it gives are the bytes the simulated device served.
# Needs: PINMON_SIM_EXE, PINMON_VCD, CAPTURES (the saved captures and the
# files they make, shared with the Windows test).
. "$(dirname "$0")/lib.sh"
export SOURCE_DATE_EPOCH=1765000000
log=$work/calls.log

# read_back FILE: a row "TIME VALUE..." for each timestamp GTKWave's reader
# gives: D7 to D0 (the first eight wires), valid, then the vector if there
# is one.
read_back() {
  vcd2fst "$1" "$work/back.fst" >/dev/null 2>&1 || {
    echo "vcd2fst refused the file"
    return
  }
  fst2vcd "$work/back.fst" 2>/dev/null | awk '
    function emit(  row, bit) {
      row = now " "
      for (bit = 7; bit >= 0; --bit) row = row value["D" bit]
      row = row " " value["valid"]
      if ("pins" in value) row = row " " value["pins"]
      print row
    }
    # The first eight wires are D0 to D7, whatever their names.
    $1 == "$var" { name[$4] = vars < 8 ? "D" (vars + 0) : $5; ++vars }
    /^#/ { if (started) emit(); now = substr($0, 2); started = 1; next }
    started && /^[01xz]/ { value[name[substr($0, 2)]] = substr($0, 1, 1) }
    started && /^b/ {
      bits = substr($1, 2)
      pad = substr(bits, 1, 1) == "x" ? "x" : "0"
      while (length(bits) < 8) bits = pad bits
      value[name[$2]] = bits
    }
    END { if (started) emit() }'
}

# The plain shape PulseView reads: one-bit wires only, integer times, one
# value change a line, the first values at #0 inside $dumpvars.
plain_shape() {
  check "$2: only one-bit wires" "$(printf '$var wire 1 %s D%d $end\n' \
    '!' 0 '"' 1 '#' 2 '$' 3 % 4 '&' 5 "'" 6 '(' 7)
\$var wire 1 * valid \$end" "$(grep '^\$var' "$1")"
  check "$2: #0, then \$dumpvars" "#0
\$dumpvars" "$(sed -n '/^\$enddefinitions/{n;p;n;p;q}' "$1")"
  check "$2: nothing but times and changes" "" \
    "$(sed '1,/^\$enddefinitions/d' "$1" |
      grep -Ev '^(#[0-9]+|\$dumpvars|\$end|[01x][!-(*])$')"
}

# changes ROWS: the values of read_back's rows, each change once.
changes() { awk '{ $1 = ""; if ($0 != last) print substr($0, 2); last = $0 }'; }

# Live: the simulated monitor into pinmon-vcd, ended by SIGINT to the
# pipe's process group (Ctrl-C) or by the monitor ending first.
served="01,01,a5,x,x,ff,00"
served_changes="00000001 1
10100101 1
xxxxxxxx 0
11111111 1
00000000 1"
for ending in INT monitor; do
  rm -f "$log" "$work/status"
  # The pipe leads a session of its own; the monitor's pid is written down.
  PINMON_SIM=pins=$served PINMON_SIM_LOG=$log env --default-signal=INT \
    setsid bash -c 'trap true INT
      echo $$ >"$4.group"
      bash -c "echo \$\$ >\"$4.monitor\"; exec \"$1\"" | "$2" >"$3"
      echo "${PIPESTATUS[*]}" >"$4"' _ \
    "$PINMON_SIM_EXE" "$PINMON_VCD" "$work/live.vcd" "$work/status" &
  wait_while $! fewer_calls_than read 9 "$log"
  if [ "$ending" = INT ]; then
    kill -INT -- "-$(cat "$work/status.group")"
    want_status="130 130"
  else
    kill -TERM "$(cat "$work/status.monitor")"
    want_status="143 0"
  fi
  wait $!
  name="live, ended by $ending"
  check "$name: statuses" "$want_status" "$(cat "$work/status")"
  rows=$(read_back "$work/live.vcd")
  check "$name: GTKWave reads the bytes served, failures unknown, not valid" \
    "$served_changes" "$(changes <<<"$rows")"
  # Nine reads at least 100 ms apart: times in milliseconds.
  check_true "$name: the file spans at least 400 ms ($(tail -n 1 <<<"$rows"))" \
    test "$(tail -n 1 <<<"$rows" | cut -d ' ' -f 1)" -ge 400
  # The last row is no change: it gives the last value its duration.
  last=$(tail -n 2 <<<"$rows")
  check_true "$name: a last timestamp after the last change" \
    awk 'NR == 1 { t = $1; v = $2 } NR == 2 { exit !($1 > t && $2 == v) }' \
    <<<"$last"
  plain_shape "$work/live.vcd" "$name"
done

# watched FILE COMMAND...: runs COMMAND as python3's child, which writes its
# pid to FILE.pid and then how it ended to FILE: "signal N" or "status N",
# which a shell cannot tell apart.
watched() {
  python3 -c 'import subprocess, sys
child = subprocess.Popen(sys.argv[2:])
open(sys.argv[1] + ".pid", "w").write(str(child.pid))
code = child.wait()
open(sys.argv[1], "w").write("signal %d" % -code if code < 0 else "status %d" % code)' "$@"
}
# not_started OUT FILE: pinmon-vcd has written no reading to OUT yet, or
# watched has not written its pid.
not_started() { ! grep -q '^\$dumpvars' "$1" 2>/dev/null || ! test -s "$2.pid"; }
# not_stalled FILE: the pid in FILE.pid is not waiting to write to a pipe.
not_stalled() {
  ! test -s "$1.pid" || [[ $(cat "/proc/$(cat "$1.pid")/wchan") != *pipe_write ]]
}

# A signal to pinmon-vcd alone ends it at once, as that signal ends a
# program, with the file whole: whatever the input does meanwhile. A
# stalled output holds pinmon-vcd in a write while the signal comes, then
# lets it go on to a saved capture, input that is always ready: the signal
# must not wait behind it.
# signal | input | its command (its pid is the shell's) | output | wanted
reading='Readed: 1 : 00000001'
for n in $(seq 50000); do
  printf '%s\nReaded: 2 : 00000010\n' "$reading"
done >"$work/ready.txt"
while IFS='|' read -r signal input producer output want; do
  name="$signal to pinmon-vcd alone, $input, output $output"
  rm -f "$work/how" "$work/how.pid" "$work/producer" "$work/go"
  : >"$work/out.vcd"
  if [ "$output" = drained ]; then
    bash -c 'echo $$ >"$0"; eval "$1"' "$work/producer" "$producer" |
      watched "$work/how" "$PINMON_VCD" >"$work/out.vcd" 2>"$work/err" &
    pid=$!
    wait_while "$pid" not_started "$work/out.vcd" "$work/how"
  else
    watched "$work/how" "$PINMON_VCD" <"$producer" 2>"$work/err" |
      bash -c 'while [ ! -e "$0" ]; do sleep 0.02; done; exec cat' \
        "$work/go" >"$work/out.vcd" &
    pid=$!
    wait_while "$pid" not_stalled "$work/how"
  fi
  kill "-$signal" "$(cat "$work/how.pid")"
  touch "$work/go"
  wait_while "$pid" true
  # Only a pinmon-vcd that did not end needs this, and a sleeping input.
  kill -KILL "$(cat "$work/how.pid")" "$(cat "$work/producer")" 2>/dev/null
  wait "$pid"
  check "$name: ended by SIG$signal" "signal $(kill -l "$signal")" \
    "$(cat "$work/how" 2>/dev/null)"
  if [ "$want" = "a last timestamp" ]; then
    check_true "$name: a last timestamp after the last change" \
      awk 'NR == 1 { t = $1; v = $2 } NR == 2 { exit !($1 > t && $2 == v) }' \
      <<<"$(read_back "$work/out.vcd" | tail -n 2)"
  else
    check "$name: a part line is the end, not a foreign line" "" \
      "$(cat "$work/err")"
  fi
done <<EOF
INT|the monitor running|exec "$PINMON_SIM_EXE"|drained|a last timestamp
TERM|the monitor running|exec "$PINMON_SIM_EXE"|drained|a last timestamp
HUP|the monitor running|exec "$PINMON_SIM_EXE"|drained|a last timestamp
TERM|a saved capture|$work/ready.txt|stalled|a last timestamp
TERM|a part line in the pipe|printf '$reading\\nReaded: f5 : 11110'; exec sleep 60|drained|no message
EOF

# Saved captures, on every platform: these files, byte for byte.
while IFS='|' read -r name input options want_status golden; do
  [[ $name == \#* || -z $name ]] && continue
  # shellcheck disable=SC2086 # the options are words
  "$PINMON_VCD" $options <"$CAPTURES/$input" >"$work/out.vcd" 2>"$work/err"
  check "$name: status" "$want_status" "$?"
  check_true "$name: the file" cmp -s "$CAPTURES/$golden" "$work/out.vcd"
done <"$CAPTURES/cases"
check "GTKWave reads the saved capture at its nominal times" "0 00000001 1
200 10100101 1
300 xxxxxxxx 0
500 11111111 1
600 00000000 1
700 10000000 1
800 10000000 1" "$(read_back "$CAPTURES/capture.vcd")"
plain_shape "$CAPTURES/capture.vcd" "saved capture"
check "GTKWave reads the vector as the byte" "0 00000001 1 00000001
200 10100101 1 10100101
300 xxxxxxxx 0 xxxxxxxx
500 11111111 1 11111111
600 00000000 1 00000000
700 10000000 1 10000000
800 10000000 1 10000000" "$(read_back "$CAPTURES/capture-vector.vcd")"
vcd2fst "$CAPTURES/capture-names.vcd" "$work/names.fst" >/dev/null 2>&1
check "GTKWave reads the names given, the rest D<n>" \
  "SCL SDA D2 CS_N D4 D5 D6 D7 valid" \
  "$(fst2vcd "$work/names.fst" 2>/dev/null | awk '$1 == "$var" { print $5 }' | xargs)"
# A capture read at once arrives at once: each change a millisecond on.
check "arrival times: a millisecond apart within one read" "0 1 2 3 4 5" \
  "$("$PINMON_VCD" <"$CAPTURES/capture.txt" | grep '^#' | head -n 6 | tr -d '#' | xargs)"
# Lines split across reads: a capture of a few of them.
awk 'BEGIN { for (n = 0; n < 20000; ++n) { b = ""; for (i = 7; i >= 0; --i)
  b = b int(n % 256 / 2 ^ i) % 2; printf "Readed: %x : %s\n", n % 256, b } }' \
  >"$work/long.txt"
"$PINMON_VCD" --period 1 <"$work/long.txt" >"$work/long.vcd"
check "a capture of $(wc -c <"$work/long.txt") bytes: status, timestamps" \
  "0 20001" "$? $(grep -c '^#' "$work/long.vcd")"

# Start-up failures, foreign lines of every kind, an empty or unreadable
# input and bad options: each ends with its status and its whole message,
# and what was converted up to there is a file GTKWave reads ("none": no
# output at all).
# name | PINMON_SIM, a capture (file:) or a command (sh:) | options |
# status | message | rows
while IFS='|' read -r name input options want_status message want_rows; do
  # shellcheck disable=SC2086 # the options are words
  case $input in
  file:*) "$PINMON_VCD" $options <"$CAPTURES/${input#file:}" ;;
  sh:*) bash -c "${input#sh:}" | "$PINMON_VCD" $options ;;
  *) PINMON_SIM=$input "$PINMON_SIM_EXE" | "$PINMON_VCD" $options ;;
  esac >"$work/out.vcd" 2>"$work/err"
  status=$?
  check "$name: status" "$want_status" "$status"
  check "$name: message" "$message" "$(cat "$work/err")"
  # The header alone ("-") reads as every line unknown.
  [ "$want_rows" = "-" ] && check "$name: the header alone" \
    "\$enddefinitions \$end" "$(tail -n 1 "$work/out.vcd")" &&
    want_rows="0 xxxxxxxx x"
  if [ "$want_rows" = none ]; then
    check "$name: no output" 0 "$(wc -c <"$work/out.vcd")"
  elif [ -n "$want_rows" ]; then
    check "$name: GTKWave reads what came before" \
      "${want_rows//;/$'\n'}" "$(read_back "$work/out.vcd")"
  fi
done <<'EOF'
device not opened|open=fail||1|Can't open device 0|-
bit mode refused|mode=fail||1|Failed to set bitbang mode|-
foreign line|file:foreign.txt|--period 10|2|pinmon-vcd: line 6 is not pinmon's output: "hello"|0 00000001 1;10 10100101 1;20 10100101 1
cut start-up line|sh:printf 'FTDI Bit Bang mode\nDevice 0 op\n'||2|pinmon-vcd: line 2 is not pinmon's output: "Device 0 op"|-
NUL in a reading|sh:printf 'Readed: 1 : 00000001\0\n'||2|pinmon-vcd: line 1 is not pinmon's output: "Readed: 1 : 00000001\x00"|-
control bytes|sh:printf 'Readed: 1 : 00000001\n\033[2J\177\377\tok\r\n'|--period 1|2|pinmon-vcd: line 2 is not pinmon's output: "\x1b[2J\x7f\xff\x09ok"|0 00000001 1;1 00000001 1
64 MB, no newline|sh:head -c 64000000 /dev/zero||2|pinmon-vcd: line 1 is not pinmon's output: "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"...|-
32 MB line after the banner|sh:echo FTDI Bit Bang mode; tr '\0' A < <(head -c 32000000 /dev/zero)||2|pinmon-vcd: line 2 is not pinmon's output: "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"...|-
one byte past the longest line|sh:printf 'Can'"'"'t open device -2147483648\r\nCan'"'"'t open device -21474836480\r\n'||1|Can't open device -2147483648|-
empty input|file:empty.txt||0||-
unreadable input|file:.||3|pinmon-vcd: cannot read the input: Is a directory|-
--period 0|file:empty.txt|--period 0|2|pinmon-vcd: --period takes whole milliseconds from 1 to 3600000, not "0"|none
--period alone|file:empty.txt|--period|2|pinmon-vcd: --period takes whole milliseconds from 1 to 3600000, not ""|none
--period 10x|file:empty.txt|--period 10x|2|pinmon-vcd: --period takes whole milliseconds from 1 to 3600000, not "10x"|none
--period at its most|file:capture.txt|--period 3600000|0||0 00000001 1;7200000 10100101 1;10800000 xxxxxxxx 0;18000000 11111111 1;21600000 00000000 1;25200000 10000000 1;28800000 10000000 1
--names, a short list|file:capture.txt|--names=SCL --period 100|0||0 00000001 1;200 10100101 1;300 xxxxxxxx 0;500 11111111 1;600 00000000 1;700 10000000 1;800 10000000 1
--names, nine|file:empty.txt|--names a,b,c,d,e,f,g,h,i|2|pinmon-vcd: --names: "i" is a ninth name: there are eight lines|none
--names, a digit first|file:empty.txt|--names SCL,3V3|2|pinmon-vcd: --names: "3V3" starts with a digit|none
--names, a dash|file:empty.txt|--names CS-N|2|pinmon-vcd: --names: "CS-N" holds a character other than a letter, a digit or _|none
--names, 33 characters|file:empty.txt|--names abcdefghijklmnopqrstuvwxyz_012345|2|pinmon-vcd: --names: "abcdefghijklmnopqrstuvwxyz_012345" is longer than 32 characters|none
--names, twice|file:empty.txt|--names SCL,SDA,SCL|2|pinmon-vcd: --names: "SCL" is given twice|none
--names, valid|file:empty.txt|--names valid|2|pinmon-vcd: --names: "valid" is the name of another trace|none
--names, pins|file:empty.txt|--names ,pins|2|pinmon-vcd: --names: "pins" is the name of another trace|none
--names, another line's|file:empty.txt|--names D1|2|pinmon-vcd: --names: "D1" is another line's own name|none
--names alone|file:empty.txt|--names|0||-
EOF
"$PINMON_VCD" <"$CAPTURES/capture.txt" >/dev/full 2>"$work/err"
check "a full disk: status and message" "3 pinmon-vcd: cannot write the output: No space left on device" \
  "$? $(cat "$work/err")"
run "$PINMON_VCD" --help
check "--help: status and usage" "0 usage: pinmon-vcd [--vector] [--period MS] [--names LIST] < pinmon-output > lines.vcd" \
  "$status $(head -n 1 <<<"$out")"
# The limit only keeps a pinmon-vcd that does not end from hanging the suite.
for pipe in default ignored; do
  piped=$(bash -c '[ "$3" = ignored ] && trap "" PIPE
    timeout 60 "$1" | timeout -k 5 60 "$2" | head -c 20 >/dev/null
    echo "${PIPESTATUS[1]}"' \
    _ "$PINMON_SIM_EXE" "$PINMON_VCD" "$pipe")
  check "a broken output pipe, SIGPIPE $pipe: ends it as it ends pinmon" 141 "$piped"
done

finish

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
# gives; each VALUE is D7 to D0, then the vector if there is one.
read_back() {
  vcd2fst "$1" "$work/back.fst" >/dev/null 2>&1 || {
    echo "vcd2fst refused the file"
    return
  }
  fst2vcd "$work/back.fst" 2>/dev/null | awk '
    function emit(  row, bit) {
      row = now " "
      for (bit = 7; bit >= 0; --bit) row = row value["D" bit]
      if ("pins" in value) row = row " " value["pins"]
      print row
    }
    $1 == "$var" { name[$4] = $5 }
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
    '!' 0 '"' 1 '#' 2 '$' 3 % 4 '&' 5 "'" 6 '(' 7)" "$(grep '^\$var' "$1")"
  check "$2: #0, then \$dumpvars" "#0
\$dumpvars" "$(sed -n '/^\$enddefinitions/{n;p;n;p;q}' "$1")"
  check "$2: nothing but times and changes" "" \
    "$(sed '1,/^\$enddefinitions/d' "$1" |
      grep -Ev '^(#[0-9]+|\$dumpvars|\$end|[01x][!-(])$')"
}

# changes ROWS: the values of read_back's rows, each change once.
changes() { awk '{ $1 = ""; if ($0 != last) print substr($0, 2); last = $0 }'; }

# Live: the simulated monitor into pinmon-vcd, ended by SIGINT to the
# pipe's process group (Ctrl-C) or by the monitor ending first.
served="01,01,a5,x,x,ff,00"
served_changes="00000001
10100101
xxxxxxxx
11111111
00000000"
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
  check "$name: GTKWave reads the bytes served, failures unknown" \
    "$served_changes" "$(changes <<<"$rows")"
  # The last row is no change: it gives the last value its duration.
  last=$(tail -n 2 <<<"$rows")
  check_true "$name: a last timestamp after the last change" \
    awk 'NR == 1 { t = $1; v = $2 } NR == 2 { exit !($1 > t && $2 == v) }' \
    <<<"$last"
  plain_shape "$work/live.vcd" "$name"
done

# Saved captures, on every platform: these files, byte for byte.
while IFS='|' read -r name input options want_status golden; do
  [[ $name == \#* || -z $name ]] && continue
  # shellcheck disable=SC2086 # the options are words
  "$PINMON_VCD" $options <"$CAPTURES/$input" >"$work/out.vcd" 2>"$work/err"
  check "$name: status" "$want_status" "$?"
  check_true "$name: the file" cmp -s "$CAPTURES/$golden" "$work/out.vcd"
done <"$CAPTURES/cases"
check "GTKWave reads the saved capture at its nominal times" "0 00000001
200 10100101
300 xxxxxxxx
500 11111111
600 00000000
700 10000000
800 10000000" "$(read_back "$CAPTURES/capture.vcd")"
plain_shape "$CAPTURES/capture.vcd" "saved capture"
check "GTKWave reads the vector as the byte" "0 00000001 00000001
200 10100101 10100101
300 xxxxxxxx xxxxxxxx
500 11111111 11111111
600 00000000 00000000
700 10000000 10000000
800 10000000 10000000" "$(read_back "$CAPTURES/capture-vector.vcd")"

# Start-up failures, a foreign line, an empty input, a broken output pipe
# and bad options: each ends with its status and message, and what was
# converted up to there is a file GTKWave reads.
# name | PINMON_SIM or a capture (file:) | options | status | message | rows
while IFS='|' read -r name input options want_status message want_rows; do
  if [[ $input == file:* ]]; then
    # shellcheck disable=SC2086
    "$PINMON_VCD" $options <"$CAPTURES/${input#file:}" >"$work/out.vcd" 2>"$work/err"
    status=$?
  else
    # shellcheck disable=SC2086
    PINMON_SIM=$input "$PINMON_SIM_EXE" | "$PINMON_VCD" $options \
      >"$work/out.vcd" 2>"$work/err"
    status=$?
  fi
  check "$name: status" "$want_status" "$status"
  check "$name: message" "$message" "$(head -n 1 "$work/err")"
  # The header alone ("-") reads as every line unknown.
  [ "$want_rows" = "-" ] && check "$name: the header alone" \
    "\$enddefinitions \$end" "$(tail -n 1 "$work/out.vcd")" &&
    want_rows="0 xxxxxxxx"
  [ -n "$want_rows" ] && check "$name: GTKWave reads what came before" \
    "${want_rows//;/$'\n'}" "$(read_back "$work/out.vcd")"
done <<'EOF'
device not opened|open=fail||1|Can't open device 0|-
bit mode refused|mode=fail||1|Failed to set bitbang mode|-
foreign line|file:foreign.txt|--period 10|2|pinmon-vcd: line 6 is not pinmon's output: "hello"|0 00000001;10 10100101;20 10100101
empty input|file:empty.txt||0||-
--period 0|file:empty.txt|--period 0|2|pinmon-vcd: --period takes whole milliseconds from 1 to 3600000, not "0"|
--period alone|file:empty.txt|--period|2|pinmon-vcd: --period takes whole milliseconds from 1 to 3600000, not ""|
EOF
"$PINMON_VCD" <"$CAPTURES/capture.txt" >/dev/full 2>"$work/err"
check "a full disk: status and message" "3 pinmon-vcd: cannot write the output: No space left on device" \
  "$? $(cat "$work/err")"
run "$PINMON_VCD" --help
check "--help: status and usage" "0 usage: pinmon-vcd [--vector] [--period MS] < pinmon-output > lines.vcd" \
  "$status $(head -n 1 <<<"$out")"
piped=$(bash -c '"$1" | "$2" | head -c 20 >/dev/null; echo "${PIPESTATUS[1]}"' _ \
  "$PINMON_SIM_EXE" "$PINMON_VCD")
check "a broken output pipe ends it as it ends pinmon" 141 "$piped"

finish

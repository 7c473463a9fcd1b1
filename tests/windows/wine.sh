# SPDX-License-Identifier: MIT
# The shape of the 32-bit Windows program: what it imports, its manifest,
# and the zip for Windows users; then the program under Wine, with the
# simulated device as its FTD2XX.dll.
# Needs: PINMON_EXE, STAND_IN_DLL, OBJDUMP, and PINMON_ZIP.
. "$(dirname "$0")/../e2e/lib.sh"

# Imports: Windows' own DLLs, and FTD2XX.dll by ordinals 1, 31 and 32 only.
imports=$("$OBJDUMP" -p "$PINMON_EXE")
check "imported DLLs" "FTD2XX.dll
KERNEL32.dll
msvcrt.dll" "$(awk '/DLL Name:/ { print $3 }' <<<"$imports" | sort)"
# binutils before 2.44 print "vma Hint/Ord Member-Name", with <none> for
# the name of an ordinal; 2.44 prints "vma Ordinal Hint Member-Name", with
# <none> for the ordinal of a name.
check "FTD2XX.dll imports" "ordinal 1
ordinal 31
ordinal 32" "$(awk '/DLL Name:/ { dll = $3; next }
  /^$/ { dll = "" }
  dll == "FTD2XX.dll" && $1 ~ /^[0-9a-f]+$/ {
    if (NF == 3) print ($3 == "<none>" ? "ordinal " $2 : "name " $3)
    else if (NF == 4) print ($2 != "<none>" ? "ordinal " $2 : "name " $4)
    else print "unread: " $0
  }' <<<"$imports" | sort -k2n)"
vcd_imports=$("$OBJDUMP" -p "$PINMON_VCD_EXE")
check "pinmon-vcd.exe: Windows' own DLLs only" "KERNEL32.dll
msvcrt.dll" "$(awk '/DLL Name:/ { print $3 }' <<<"$vcd_imports" | sort)"
check "pinmon-vcd.exe: a 32-bit console program" "PE32
Windows CUI" "$(awk '$1 == "Magic" { print $3 } $1 == "Subsystem" { print $3, $4 }' \
  <<<"$vcd_imports" | tr -d '()')"
check "32-bit console program" "PE32
Windows CUI" "$(awk '$1 == "Magic" { print $3 } $1 == "Subsystem" { print $3, $4 }' \
  <<<"$imports" | tr -d '()')"

# Exactly one resource, the manifest (type 24, id 1, one language), asking
# for asInvoker.
check "resources: type, id, language" \
  "0x000010 0x000001 0x000409 0x000018 0x000001 0x000409" \
  "$(sed -n '/Resource Directory section/,/^$/p' <<<"$imports" |
    grep -o 'Entry: ID: 0x[0-9a-f]*' | cut -d ' ' -f 3 | xargs)"
check "one manifest" 1 "$(grep -ac '<assembly' "$PINMON_EXE")"
check_true "the manifest asks for asInvoker" grep -aq \
  '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$PINMON_EXE"

# The version resource: what the file's properties show.
version_strings=$("${OBJDUMP%objdump}strings" -el "$PINMON_EXE")
for field in "ProductName=pinmon" "FileVersion=$VERSION" \
  "ProductVersion=$VERSION" \
  "FileDescription=Console monitor for the data lines of an FTDI USB chip" \
  "LegalCopyright=Copyright (c) 2026 The pinmon developers; MIT License"; do
  check "version resource: ${field%%=*}" "${field#*=}" \
    "$(grep -A1 -x "${field%%=*}" <<<"$version_strings" | sed -n 2p)"
done

# The zip for Windows users: the program and a note about the driver.
listing=$(cmake -E tar tf "$PINMON_ZIP")
check "zip name" "pinmon-$VERSION-win32.zip" "$(basename "$PINMON_ZIP")"
check "zip contents" "pinmon.exe
pinmon-vcd.exe
README.txt
LICENSE" "$(sed 's|.*/||' <<<"$listing" | grep -v '^$' | sort -r)"
mkdir "$work/unzip" && (cd "$work/unzip" && cmake -E tar xf "$PINMON_ZIP")
check_true "the zip's note names the driver" \
  grep -rq 'FTD2XX.dll' "$work/unzip" --include=README.txt

# Wine runs the program as 32-bit Linux code, which a kernel without IA-32
# emulation refuses ("Exec format error") whatever the program. There the
# files above are all that can be checked, and the test says it was skipped.
probe=$( (/lib/ld-linux.so.2 --version) 2>&1 >/dev/null)
if [[ $? -eq 126 && $probe == *"Exec format error"* ]]; then
  echo "SKIPPED: the Wine runs: this kernel cannot run 32-bit programs:"
  echo "  /lib/ld-linux.so.2: ${probe##*: }"
  finish && exit 77
  exit 1
fi

# One Wine prefix for the whole run: creating it is the slow part. The
# wineserver makes its socket directory (wine-XXXXXX) in TMPDIR: a private
# one, removed with the rest, and the server is ended first, whatever ends
# the test.
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export TMPDIR="$work/tmp"
mkdir -m 0700 "$TMPDIR"
unset DISPLAY
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
timeout -k 10 300 wineboot -i >/dev/null 2>&1
wineserver -p # keep it up between runs

mkdir "$work/app" "$work/lonely"
cp "$PINMON_EXE" "$STAND_IN_DLL" "$work/app/"
cp "$PINMON_EXE" "$work/lonely/"
log="$work/calls.log"
windows_log="Z:${log//\//\\}"
banner='FTDI Bit Bang mode'
failed='Failed to read pins'

# Every run under Wine is bounded, and Windows ends lines with CR LF.
wine_exe=(timeout -k 10 120 wine)
strip_cr() {
  out=${out//$'\r'/}
  err=${err//$'\r'/}
}

rm -f "$log"
PINMON_SIM="pins=00,a5,x,ff" PINMON_SIM_LOG=$windows_log \
  run_until_lines 7 "${wine_exe[@]}" "$work/app/pinmon.exe"
strip_cr
check "start-up and report lines" "$banner
Device 0 opened
BitBang mode On
Readed: 0 : 00000000
Readed: a5 : 10100101
Failed to read pins
Readed: ff : 11111111" "$out"
handle=$(log_field open 4 "$log")
check_true "the open gave a handle" test -n "$handle" -a "$handle" != "-"
check "the handle and mode crossed the calls intact" "open 0 0 $handle
setbitmode $handle 00 01 0" "$(head -n 2 "$log")"
check "the reads got the handle and their status came back" "read $handle 0
read $handle 0
read $handle 4
read $handle 0" "$(sed -n 3,6p "$log" | cut -d ' ' -f 1-3)"
check "reads at least 100 ms apart" "" "$(reads_too_close "$log")"

# Failure lines reach a file while the program runs, each as it is printed.
rm -f "$log"
: >"$work/out"
PINMON_SIM=pins=x PINMON_SIM_LOG=$windows_log \
  "${wine_exe[@]}" "$work/app/pinmon.exe" >"$work/out" 2>/dev/null &
pid=$!
wait_while "$pid" fewer_calls_than read 6 "$log"
lines=$(($(wc -l <"$work/out") - 3))
reads=$(count_calls read "$log")
check_true "failure lines reach a file at once ($lines lines for $reads reads)" \
  test "$lines" -ge $((reads - 1))
check "failure lines in the file" "$failed" \
  "$(tail -n +4 "$work/out" | tr -d '\r' | sort -u)"
kill -TERM "$pid" 2>/dev/null
wait "$pid"

for case in "${twelve_devices_cases[@]}"; do
  read -r index argument outcome <<<"$case"
  rm -f "$log"
  if [ "$outcome" == opens ]; then
    PINMON_SIM=devices=12 PINMON_SIM_LOG=$windows_log run_until_lines 3 \
      "${wine_exe[@]}" "$work/app/pinmon.exe" "$argument"
    strip_cr
    expect_opened "$index" "$log"
  else
    PINMON_SIM=devices=12 PINMON_SIM_LOG=$windows_log \
      run "${wine_exe[@]}" "$work/app/pinmon.exe" "$argument"
    strip_cr
    expect_open_failure "$index" "$log"
  fi
done

# open_fails_with INDEX ARGUMENT: the index reaches the library unchanged.
open_fails_with() {
  rm -f "$log"
  PINMON_SIM=open=fail PINMON_SIM_LOG=$windows_log \
    run "${wine_exe[@]}" "$work/app/pinmon.exe" "$2"
  strip_cr
  expect_open_failure "$1" "$log"
}
open_fails_with 7 7
open_fails_with -1 -1
open_fails_with -2147483648 -2147483648
open_fails_with 2147483647 2147483647

rm -f "$log"
PINMON_SIM=mode=fail PINMON_SIM_LOG=$windows_log \
  run "${wine_exe[@]}" "$work/app/pinmon.exe"
strip_cr
expect_mode_failure "$log"

# bad_argument ARGUMENT MESSAGE: refused before any output or device call;
# Windows' long is 32 bits, so the range is checked on another path.
bad_argument() {
  rm -f "$log"
  PINMON_SIM_LOG=$windows_log run "${wine_exe[@]}" "$work/app/pinmon.exe" "$1"
  strip_cr
  check "\"$1\": standard output" "" "$out"
  check "\"$1\": message" "pinmon: invalid device index \"$1\": $2
usage: pinmon [device-index]" "$err"
  check "\"$1\": status" 2 "$status"
  check_true "\"$1\": no device call" test ! -s "$log"
}
bad_argument x5 "invalid stoi argument"
bad_argument 2147483648 "stoi argument out of range"
bad_argument -2147483649 "stoi argument out of range"
bad_argument 4294967296 "stoi argument out of range"
bad_argument 99999999999999999999 "stoi argument out of range"

# When the reader of its output goes away, the program ends at once with
# the status a shell shows for SIGPIPE; a full disk is not such an end.
piped=$(bash -c '"$@" | head -n 3; echo "status ${PIPESTATUS[0]}"' _ \
  "${wine_exe[@]}" "$work/app/pinmon.exe" | tr -d '\r')
check "| head -n 3" "$banner
Device 0 opened
BitBang mode On
status 141" "$piped"
rm -f "$log"
PINMON_SIM_LOG=$windows_log "${wine_exe[@]}" "$work/app/pinmon.exe" \
  >/dev/full 2>/dev/null &
pid=$!
wait_while "$pid" fewer_calls_than read 5 "$log"
check_true "a full disk: still polling" kill -0 "$pid"
kill -TERM "$pid" 2>/dev/null
wait "$pid"
PINMON_SIM=pins=5a PINMON_SIM_LOG=$windows_log \
  on_full_disk "$log" "${wine_exe[@]}" "$work/app/pinmon.exe"
expect_output_resumes

# pinmon-vcd on saved captures: the same files as on Linux, byte for byte.
cp "$PINMON_VCD_EXE" "$work/app/"
while IFS='|' read -r name input options want_status golden; do
  [[ $name == \#* || -z $name ]] && continue
  # shellcheck disable=SC2086 # the options are words
  SOURCE_DATE_EPOCH=1765000000 "${wine_exe[@]}" "$work/app/pinmon-vcd.exe" \
    $options <"$CAPTURES/$input" >"$work/out.vcd" 2>/dev/null
  check "pinmon-vcd, $name: status" "$want_status" "$?"
  check_true "pinmon-vcd, $name: the file" cmp -s "$CAPTURES/$golden" "$work/out.vcd"
done <"$CAPTURES/cases"

# Without FTD2XX.dll the program cannot start at all.
run "${wine_exe[@]}" "$work/lonely/pinmon.exe"
check_true "without FTD2XX.dll: does not start (status $status)" \
  test "$status" -ne 0 -a "$status" -ne 124
check "without FTD2XX.dll: standard output" "" "$out"

finish

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes docs/waveform.png, the README's picture: three seconds of the
# simulated device's walking pattern through pinmon-vcd, as GTKWave draws
# it, in a virtual X display. Not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build picture
cmake -S . -B build/gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build/gcc -j 2 --target pinmon-sim pinmon-vcd >/dev/null
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

# A real capture: the monitor on the simulated device, 30 readings.
build/gcc/pinmon-sim | head -n 33 >"$work/capture.txt" || true
build/gcc/pinmon-vcd --period 100 <"$work/capture.txt" >"$work/walk.vcd"

cat >"$work/show.tcl" <<'TCL'
gtkwave::addSignalsFromList {pinmon.D0 pinmon.D1 pinmon.D2 pinmon.D3 pinmon.D4 pinmon.D5 pinmon.D6 pinmon.D7}
gtkwave::/Time/Zoom/Zoom_Best_Fit
TCL
Xvfb :77 -screen 0 1000x420x24 -nolisten tcp >/dev/null 2>&1 &
sleep 1
DISPLAY=:77 gtkwave --nomenus -S "$work/show.tcl" "$work/walk.vcd" \
  >/dev/null 2>&1 &
sleep 4
mkdir -p docs
DISPLAY=:77 import -window root docs/waveform.png
echo "docs/waveform.png"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes docs/waveform.png, the README's picture: three seconds of the
# simulated device's walking pattern through pinmon-vcd, three readings of
# it failed, as GTKWave draws it in a virtual X display. Not part of the
# test command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build picture
cmake -S . -B build/gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build/gcc -j 2 --target pinmon-sim pinmon-vcd >/dev/null
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

# A real capture: the monitor on the simulated device, 30 readings, of
# which the 13th to the 15th failed.
build/gcc/pinmon-sim | head -n 33 |
  sed '16,18s/.*/Failed to read pins/' >"$work/capture.txt" || true
build/gcc/pinmon-vcd --period 100 <"$work/capture.txt" >"$work/walk.vcd"

cat >"$work/show.tcl" <<'TCL'
gtkwave::addSignalsFromList {pinmon.D0 pinmon.D1 pinmon.D2 pinmon.D3 pinmon.D4 pinmon.D5 pinmon.D6 pinmon.D7 pinmon.valid}
gtkwave::/Time/Zoom/Zoom_Best_Fit
TCL
Xvfb :77 -screen 0 1000x450x24 -nolisten tcp >/dev/null 2>&1 &
sleep 1
DISPLAY=:77 gtkwave --nomenus -S "$work/show.tcl" "$work/walk.vcd" \
  >/dev/null 2>&1 &
sleep 4
mkdir -p docs
DISPLAY=:77 import -window root docs/waveform.png
echo "docs/waveform.png"

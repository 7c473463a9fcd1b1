#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds optimised pinmon and pinmon-sim and the C baselines, then prints
# the benchmark's figures side by side: pinmon-sim against a minimal C
# loop, pinmon-vcd against cat, and the real pinmon on an emulated FT232R against minimal loops on
# libftdi1 in C and in Python. Usage: bench/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build bench
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build build/bench -j 2 --target pinmon-sim pinmon pinmon-vcd >/dev/null
cc -O2 -o build/bench/c_loop bench/c_loop.c
# shellcheck disable=SC2046 # pkg-config gives one word a flag
cc -O2 -o build/bench/ftdi_loop bench/ftdi_loop.c \
  $(pkg-config --cflags --libs libftdi1)
python3 bench/run.py build/bench/pinmon-sim build/bench/c_loop "$@"
echo
python3 bench/vcd.py build/bench/pinmon-vcd
echo
# The system's python3, which has the GObject and libftdi1 bindings.
exec umockdev-wrapper /usr/bin/python3 bench/chips.py build/bench/pinmon \
  build/bench/ftdi_loop

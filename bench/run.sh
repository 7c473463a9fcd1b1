#!/usr/bin/env bash
# Builds an optimised pinmon-sim and the C baseline, then prints the
# benchmark's figures side by side. Usage: bench/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build bench
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  >/dev/null
cmake --build build/bench -j 2 --target pinmon-sim >/dev/null
cc -O2 -o build/bench/c_loop bench/c_loop.c
exec python3 bench/run.py build/bench/pinmon-sim build/bench/c_loop "$@"

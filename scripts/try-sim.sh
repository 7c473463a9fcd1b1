#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds pinmon and runs it on the simulated device. Arguments go to the
# monitor; PINMON_SIM and PINMON_SIM_LOG script the device (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build/gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build/gcc -j 2 >/dev/null
exec build/gcc/pinmon-sim "$@"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite, from a fresh clone: installs what is missing, then
# builds and tests with g++ (the real pinmon on emulated FTDI chips among
# them), with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# measures their coverage, fuzzes the device index for a minute and
# pinmon-vcd's line reader for a few seconds,
# cross-builds the Windows program and tests it under Wine, checks the
# install tree, the Debian package and the formatting of the code, and
# then runs itself once more from a git archive with git out of reach.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${PINMON_FUZZ_SECONDS:-60}

scripts/deps.sh test windows package kernel

section() { printf '\n=== %s\n' "$*"; }

# Each ctest run's counts, added up for the closing line: a run whose
# only test was skipped closes on "0 tests failed out of 1", and the
# whole suite must not read as having run nothing.
tests_passed=0 tests_failed=0 tests_skipped=0
run_ctest() {
  local log=build/ctest-run.log status=0
  ctest "$@" 2>&1 | tee "$log" || status=$?
  local total failed skipped
  total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log")
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$log")
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  tests_failed=$((tests_failed + ${failed:-0}))
  tests_skipped=$((tests_skipped + skipped))
  tests_passed=$((tests_passed + ${total:-0} - ${failed:-0} - skipped))
  return "$status"
}

# One clang-format for the project: each major version formats a little
# differently, and Debian 12 and 13 package this one alike.
clang_format=clang-format-19
section "format check with $($clang_format --version)"
# From a release tarball there is no git to ask which files are ours.
if git rev-parse --git-dir >/dev/null 2>&1; then
  git ls-files --cached --others --exclude-standard '*.cpp' '*.h' '*.c'
else
  find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' \
    -o -name '*.c' \) -print
fi | xargs "$clang_format" --dry-run --Werror
echo "every C and C++ file is formatted as $clang_format formats it"

# The Windows program first: where Wine cannot start, its ctest run skips
# its one test, and the closing lines must be those of runs that executed.
section "32-bit Windows build, tested under Wine"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  >/dev/null
# windres leaves an empty temporary file for each resource it compiles:
# they go to the build tree, not /tmp.
windows_tmp=$PWD/build/windows/tmp
mkdir -p "$windows_tmp"
TMPDIR=$windows_tmp cmake --build build/windows -j 2
(cd build/windows && cpack >/dev/null)
run_ctest --test-dir build/windows --output-on-failure
# A kernel without IA-32 emulation cannot run Wine's 32-bit programs.
wine_note=$(grep -h -A1 '^SKIPPED: the Wine runs' \
  build/windows/Testing/Temporary/LastTest.log 2>/dev/null || true)
[ -z "$wine_note" ] || echo "$wine_note"
# A changed manifest must reach the program, not only a fresh build's.
touch src/pinmon.manifest
rebuild=$(TMPDIR=$windows_tmp cmake --build build/windows)
if grep -q 'Linking CXX executable pinmon.exe' <<<"$rebuild"; then
  echo "a changed manifest relinks pinmon.exe"
else
  echo "FAIL: a changed manifest did not relink pinmon.exe"
  exit 1
fi

section "g++ build and tests"
cmake -S . -B build/gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build/gcc -j 2
# The real kernel once: not again from the tarball, whose binaries are the
# same code.
run_ctest --test-dir build/gcc --output-on-failure \
  ${PINMON_FROM_TARBALL:+--label-exclude kernel}

section "clang build and tests under AddressSanitizer and UBSan"
cmake -S . -B build/sanitize -DCMAKE_CXX_COMPILER=clang++ \
  -DPINMON_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j 2
run_ctest --test-dir build/sanitize --output-on-failure \
  --label-exclude "valgrind|package|kernel"

section "coverage of src/ and device/ by the same tests"
cmake -S . -B build/coverage -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DPINMON_COVERAGE=ON >/dev/null
cmake --build build/coverage -j 2
find build/coverage -name '*.gcda' -delete
# One case runs the program as nobody: it writes its counters too.
chmod -R a+w build/coverage
saved_umask=$(umask)
umask 0
run_ctest --test-dir build/coverage --output-on-failure \
  --label-exclude "valgrind|package|kernel"
umask "$saved_umask"
gcovr --root . --filter src/ --filter device/ build/coverage
gcovr --root . --filter src/ --filter device/ --branches \
  --exclude-unreachable-branches --exclude-throw-branches build/coverage

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DPINMON_SANITIZE=ON \
  -DPINMON_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j 2 --target device_index_fuzz input_line_fuzz
# fuzzer | seconds | its seeds
for entry in "device_index_fuzz|$fuzz_seconds|corpus" \
  "input_line_fuzz|$((fuzz_seconds < 10 ? fuzz_seconds : 10))|input_line_corpus"; do
  IFS='|' read -r fuzzer seconds seeds <<<"$entry"
  section "fuzzing with $fuzzer for $seconds s"
  rm -rf build/fuzz/scratch && mkdir -p build/fuzz/scratch
  fuzz_status=0
  build/fuzz/tests/fuzz/$fuzzer -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/scratch \
    "tests/fuzz/$seeds" >build/fuzz/fuzz.log 2>&1 || fuzz_status=$?
  # The fuzzer's progress lines are noise; its figures and any failure are not.
  grep -E '^(stat::|Done|==|SUMMARY|device_index|input_line)' build/fuzz/fuzz.log || true
  [ "$fuzz_status" -eq 0 ] || { tail -40 build/fuzz/fuzz.log; exit 1; }
done

# Once more from a release tarball, where there is no .git and no git.
if [ -z "${PINMON_FROM_TARBALL:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
  section "the test command from a git archive, without git"
  rm -rf build/tarball && mkdir -p build/tarball/no-git
  git archive --format=tar --prefix=pinmon/ HEAD | tar xf - -C build/tarball
  printf '#!/bin/sh\necho "git: not installed" >&2\nexit 127\n' \
    >build/tarball/no-git/git
  chmod +x build/tarball/no-git/git
  PATH="$PWD/build/tarball/no-git:$PATH" PINMON_FROM_TARBALL=1 \
    PINMON_FUZZ_SECONDS=5 build/tarball/pinmon/scripts/test.sh
fi

if [ -n "$wine_note" ]; then
  section "all tests passed but the Wine runs, which this kernel cannot start"
else
  section "all tests passed"
fi
printf 'ctest: %d passed, %d failed, %d skipped\n' "$tests_passed" "$tests_failed" \
  "$tests_skipped"

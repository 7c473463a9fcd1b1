#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, with apt-get, the Debian packages that a task needs and that
# are missing. Usage: scripts/deps.sh GROUP...
#   build    compilers, CMake, libftdi1 and GoogleTest
#   test     the build, plus valgrind, the fuzzer runtime, clang-format,
#            umockdev for the emulated chips and gcovr
#   windows  the mingw-w64 cross compiler and 32-bit Wine
#   package  what building and checking the Debian package needs
#   bench    what the benchmark needs, the emulated chip and libftdi1's
#            Python binding among it
set -euo pipefail

packages=()
for group in "$@"; do
  case $group in
  build) packages+=(cmake make g++ pkg-config libftdi1-dev libgtest-dev) ;;
  test) packages+=(cmake make g++ clang pkg-config libftdi1-dev libgtest-dev
    valgrind libclang-rt-dev clang-format umockdev gir1.2-umockdev-1.0
    python3-gi gcovr) ;;
  windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine
    wine32:i386) ;;
  package) packages+=(dpkg-dev debhelper lintian devscripts file man-db udev) ;;
  bench) packages+=(gcc valgrind python3 strace umockdev gir1.2-umockdev-1.0
    python3-gi python3-ftdi1 libftdi1-dev pkg-config) ;;
  *)
    echo "deps.sh: unknown group '$group'" >&2
    exit 2
    ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null |
    grep -q '^ii'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "deps.sh: installing ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, with apt-get, the Debian packages that a task needs and that
# are missing. Usage: scripts/deps.sh GROUP...
#   build    compilers, CMake, libftdi1 and GoogleTest
#   test     the build, plus valgrind, the fuzzer runtime, clang-format 19,
#            umockdev for the emulated chips, gcovr, and GTKWave to read
#            back the waveform files
#   picture  GTKWave, Xvfb and ImageMagick, for the README's picture
#   windows  the mingw-w64 cross compiler and 32-bit Wine
#   package  what building and checking the Debian package and its
#            AppStream metadata needs
#   kernel   QEMU, and udevadm and xz for the guest that boots the
#            release's own kernel (which is downloaded, not installed)
#   bench    what the benchmark needs, the emulated chip and libftdi1's
#            Python binding among it
# A package index that fails to download is only a warning: the install
# decides. An install that fails for want of i386 packages whose amd64
# twins have newer updates than the i386 index gave is tried once more
# with the release's own versions.
set -uo pipefail

say() { echo "deps.sh: $*" >&2; }

packages=()
for group in "$@"; do
  case $group in
  build) packages+=(cmake make g++ pkg-config libftdi1-dev libgtest-dev) ;;
  test) packages+=(cmake make g++ clang pkg-config libftdi1-dev libgtest-dev
    valgrind libclang-rt-dev clang-format-19 umockdev gir1.2-umockdev-1.0
    python3-gi gcovr gtkwave) ;;
  picture) packages+=(gtkwave xvfb imagemagick) ;;
  windows) packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine
    wine32:i386) ;;
  # dpkg-buildpackage insists on build-essential, whatever else is there.
  package) packages+=(build-essential dpkg-dev debhelper lintian devscripts
    file man-db udev appstream) ;;
  kernel) packages+=(qemu-system-x86 udev xz-utils gcc libc6-dev python3) ;;
  bench) packages+=(gcc valgrind python3 strace time umockdev gir1.2-umockdev-1.0
    python3-gi python3-ftdi1 libftdi1-dev pkg-config) ;;
  *)
    say "unknown group '$group'"
    exit 2
    ;;
  esac
done

# No `producer | grep -q` here: under pipefail, grep leaving early makes the
# producer die of SIGPIPE and the whole test false.
installed() {
  [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == ii* ]]
}
not_installed() {
  local package
  for package in "$@"; do
    installed "$package" || echo "$package"
  done
}

mapfile -t missing < <(not_installed "${packages[@]}" | awk '!seen[$0]++')
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    say "not root and no sudo: as root, run"
    say "  apt-get install ${missing[*]}"
    exit 1
  fi
  as_root=(sudo)
fi

i386=false
for package in "${missing[@]}"; do
  [[ $package == *:i386 ]] && i386=true
done
added_i386=false
if $i386 && ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
  "${as_root[@]}" dpkg --add-architecture i386 || exit 1
  added_i386=true
fi

say "installing ${missing[*]}"
if ! "${as_root[@]}" apt-get update -qq; then
  say "warning: apt-get update failed for some index (above); going on with the lists apt has"
fi

install=(apt-get install -y -qq --no-install-recommends)
try_install() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive "$@" >/dev/null
}
if try_install "${install[@]}" "${missing[@]}"; then
  exit 0
fi
failed_command="${install[*]} ${missing[*]}"

# multiarch wants one version on both architectures; the release's own pool
# has both when the updates' i386 index is missing or behind.
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if $i386 && [ -n "$codename" ]; then
  say "retrying with the versions of the release itself (-t $codename), for the i386 packages"
  if try_install "${install[@]}" -t "$codename" "${missing[@]}"; then
    exit 0
  fi
  failed_command="${install[*]} -t $codename ${missing[*]}"
fi

# dpkg refuses to remove it while any i386 package is installed.
if $added_i386 && "${as_root[@]}" dpkg --remove-architecture i386 2>/dev/null; then
  say "removed the i386 architecture again: nothing of it was installed"
fi
mapfile -t left < <(not_installed "${missing[@]}")
say "could not install ${left[*]:-${missing[*]}}: '$failed_command' failed"
exit 1

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the guest for the tests on the real kernel: Debian's own kernel
# for this release, unpacked from its package (never installed here), and
# an initramfs with busybox, the kernel modules the USB chips need, udevd,
# the given programs with their shared libraries, and the guest's own
# helpers (the FunctionFS chip and a terminal program's hold on a port),
# built static.
#   usage: make_guest.sh OUT_DIR PROGRAM...
# Leaves OUT_DIR/vmlinuz, OUT_DIR/initrd.gz and OUT_DIR/kernel-version.
set -euo pipefail
out=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out/debs"
out=$(cd "$out" && pwd)

# The packages, fetched once into the build tree.
fetch() {
  local package=$1
  if ! ls "$out/debs/${package}_"*.deb >/dev/null 2>&1; then
    (cd "$out/debs" && apt-get download -qq "$package" 2>&1 |
      grep -v '^W: Download is performed unsandboxed' >&2) || true
  fi
  ls "$out/debs/${package}_"*.deb >/dev/null 2>&1 ||
    { echo "make_guest.sh: could not download $package" >&2; exit 1; }
}
image=$(apt-cache depends linux-image-amd64 |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
[ -n "$image" ] || { echo "make_guest.sh: no kernel behind linux-image-amd64" >&2; exit 1; }
fetch "$image"
fetch busybox-static

rm -rf "$out/unpacked" "$out/root"
mkdir -p "$out/unpacked" "$out/root"
dpkg-deb -x "$out/debs/${image}_"*.deb "$out/unpacked/kernel"
dpkg-deb -x "$out/debs/busybox-static_"*.deb "$out/unpacked/busybox"
# bin/busybox, or usr/bin/busybox where the release has merged /usr.
busybox=$(find "$out/unpacked/busybox" -type f -path '*/bin/busybox' | head -n 1)
modules=$(dirname "$(find "$out/unpacked/kernel" -maxdepth 5 -type d -path '*/modules/*/kernel' | head -n 1)")
basename "$modules" >"$out/kernel-version"
cp "$out/unpacked/kernel/boot/vmlinuz-"* "$out/vmlinuz"

root=$out/root
mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,run,tmp,modules}
cp "$busybox" "$root/bin/busybox"
cp "$here/init" "$root/init"
chmod 0755 "$root/init"
cp "$here/guest.sh" "$root/etc/guest.sh"
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"

# A module uncompressed (busybox's insmod takes no compressed one), after
# the modules it depends on; modules.order in the image lists their load
# order.
declare -A loaded=()
add_module() {
  local name=${1//-/_} file depends dep
  [ -z "${loaded[$name]:-}" ] || return 0
  loaded[$name]=1
  file=$(find "$modules/kernel" -regextype posix-extended \
    -regex ".*/${name//_/[-_]}\.ko(\.xz|\.zst|\.gz)?" | head -n 1)
  [ -n "$file" ] || return 0 # built into the kernel
  case $file in
  *.xz) xz -dc "$file" >"$root/modules/$name.ko" ;;
  *.zst) zstd -qdc "$file" >"$root/modules/$name.ko" ;;
  *.gz) gzip -dc "$file" >"$root/modules/$name.ko" ;;
  *) cp "$file" "$root/modules/$name.ko" ;;
  esac
  depends=$(tr '\0' '\n' <"$root/modules/$name.ko" | sed -n 's/^depends=//p' | head -n 1)
  for dep in ${depends//,/ }; do
    add_module "$dep"
  done
  echo "$name" >>"$root/modules/order"
}
: >"$root/modules/order"
for module in configfs xhci_pci usbserial ftdi_sio dummy_hcd usb_f_fs; do
  add_module "$module"
done

# Programs and the shared libraries they load, at the same paths.
copy_with_libraries() {
  local program=$1 target=$2 library
  cp "$program" "$root$target"
  for library in $(ldd "$program" 2>/dev/null | grep -o '/[^ ]*' || true); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
}
for program in "$@"; do
  copy_with_libraries "$program" "/bin/$(basename "$program")"
done
cc -static -O2 -Wall -Wextra -pthread -o "$root/bin/ffs_chip" "$here/ffs_chip.c"
cc -static -O2 -Wall -Wextra -o "$root/bin/tty_holder" "$here/tty_holder.c"
# udevd: libusb learns of a chip plugged in from its events. It is udevadm
# under another name.
copy_with_libraries "$(readlink -f "$(command -v udevadm)")" /sbin/systemd-udevd

(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$out/initrd.gz"
echo "guest: kernel $(cat "$out/kernel-version"), initramfs $(du -k "$out/initrd.gz" | cut -f1) KiB"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tests on the real kernel: builds the guest, then drives it.
#   usage: run.sh GUEST_DIR PINMON PINMON_LIST
set -euo pipefail
here=$(dirname "$0")
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "SKIPPED: the real kernel: qemu-system-x86_64 is not installed"
  exit 77
fi
bash "$here/make_guest.sh" "$@"
exec python3 "$here/on_kernel.py" "$1"

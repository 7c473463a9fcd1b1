# SPDX-License-Identifier: MIT
# Helpers for the commands the host sends the guest's shell.

# The serial port the driver made for the first interface of the chip at
# a port ("1-2"), or "none".
tty_of() {
  local tty
  tty=$(ls "/sys/bus/usb/devices/$1:1.0" 2>/dev/null | grep '^ttyUSB')
  echo "${tty:-none}"
}

# The driver bound to the first interface of the chip at a port, or none.
driver_of() {
  local driver
  driver=$(readlink "/sys/bus/usb/devices/$1:1.0/driver")
  echo "${driver##*/}"
}

# Runs a command ten times a second until it succeeds, for a minute
# at the most: long enough for the slowest guest, and a broken build only
# fails the check that follows.
wait_until() {
  local tries=0
  until "$@" || [ $tries -ge 600 ]; do
    usleep 100000
    tries=$((tries + 1))
  done
}
has_tty() { [ "$(tty_of "$1")" != none ]; }
unplugged() { ! [ -e "/sys/bus/usb/devices/$1" ]; }
lines_at_least() { [ "$(wc -l </tmp/out)" -ge "$1" ]; }
readings_at_least() { [ "$(readings_since_unplug)" -ge "$1" ]; }
wait_tty() { wait_until has_tty "$1"; }
wait_gone() { wait_until unplugged "$1"; }
# Until /tmp/out has N lines.
wait_lines() { wait_until lines_at_least "$1"; }
# Until N readings after an unplug.
wait_after_unplug() { wait_until readings_at_least "$1"; }

# "status N" for a job that has ended; the shell's note of how it ended
# ("Terminated") is left out.
ended() {
  wait "$1" 2>/dev/null
  echo "status $?"
}

# The listing with its blanks squeezed.
listing() { "$@" | tr -s ' '; }

as_nobody() { su -s /bin/sh nobody -c "$*"; }

# The FunctionFS chips: FT232Rs that accept bit-bang mode, each plugged
# into a bus of dummy_hcd's (instance N on dummy_udc.N). Their reads count
# up; every STALL_EVERY-th one stalls.
#   ffs_up N SERIAL STALL_EVERY
ffs_up() {
  local gadget=/sys/kernel/config/usb_gadget/ftdi$1
  mkdir -p $gadget/strings/0x409 $gadget/configs/c.1 $gadget/functions/ffs.chip$1
  echo 0x0403 >$gadget/idVendor
  echo 0x6001 >$gadget/idProduct
  echo 0x0600 >$gadget/bcdDevice
  echo FTDI >$gadget/strings/0x409/manufacturer
  echo "FT232R USB UART" >$gadget/strings/0x409/product
  echo "$2" >$gadget/strings/0x409/serialnumber
  ln -s $gadget/functions/ffs.chip$1 $gadget/configs/c.1/
  mkdir -p /dev/ffs-$1
  mount -t functionfs chip$1 /dev/ffs-$1
  ffs_chip /dev/ffs-$1 "$3" 2>/tmp/ffs_chip$1.log &
  while ! [ -e /dev/ffs-$1/ep2 ]; do usleep 10000; done
  echo "dummy_udc.$1" >$gadget/UDC
}
# A chip on a root hub's port ("3-1") unplugged and plugged back, as the
# kernel sees a cable go and come: the port is disabled, then enabled and
# the chip enumerated anew. (Unbinding the FunctionFS chip's gadget
# instead hangs some kernels, 6.1.0-50 among them, while its bulk
# transfers are pending.)
root_port() { echo "/sys/bus/usb/devices/${1%%-*}-0:1.0/usb${1%%-*}-port${1#*-}"; }
unplug() { echo 1 >"$(root_port "$1")/disable"; }
plug() { echo 0 >"$(root_port "$1")/disable"; }

# Starts pinmon on an index in the background, its output in /tmp/out,
# which is emptied first so that no earlier run's lines count.
start_monitor() {
  : >/tmp/out
  pinmon "$1" >>/tmp/out &
  monitor=$!
}

# Starts a terminal program's hold on a tty, once it has the port; what
# it says goes to /tmp/held.
held_lines_at_least() { [ "$(wc -l </tmp/held)" -ge "$1" ]; }
hold() {
  : >/tmp/held
  tty_holder "$1" "$2" >>/tmp/held &
  holder=$!
  wait_until held_lines_at_least 1
}
# What the holder says of its port, then it ends.
release() {
  kill -USR1 $holder
  wait_until held_lines_at_least 2
  kill $holder
  wait $holder
  tail -n 1 /tmp/held
}

# Readings in /tmp/out since the last run of failures (an unplug), not
# counting a single stalled read.
readings_since_unplug() {
  awk '/^Failed/ { failures++; next }
    /^Readed/ { if (failures >= 2) count = 0; failures = 0; count++ }
    END { print count + 0 }' /tmp/out
}

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

# Waits up to ten seconds for the chip at a port to have its serial port.
wait_tty() {
  local tries=0
  while [ "$(tty_of "$1")" = none ] && [ $tries -lt 100 ]; do
    usleep 100000
    tries=$((tries + 1))
  done
}

# Waits up to ten seconds while the chip at a port is there.
wait_gone() {
  local tries=0
  while [ -e "/sys/bus/usb/devices/$1" ] && [ $tries -lt 100 ]; do
    usleep 100000
    tries=$((tries + 1))
  done
}

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
#   ffs_up N SERIAL STALL_EVERY; ffs_unplug N; ffs_plug N
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
  ffs_plug "$1"
}
ffs_plug() { echo "dummy_udc.$1" >/sys/kernel/config/usb_gadget/ftdi$1/UDC; }
ffs_unplug() { echo "" >/sys/kernel/config/usb_gadget/ftdi$1/UDC; }

# Starts a terminal program's hold on a tty; its output goes to /tmp/held.
hold() {
  tty_holder "$1" "$2" >/tmp/held &
  holder=$!
  while ! [ -s /tmp/held ]; do usleep 10000; done
}
# What the holder says of its port, then it ends.
release() {
  kill -USR1 $holder
  while [ "$(wc -l </tmp/held)" -lt 2 ]; do usleep 10000; done
  kill $holder
  wait $holder
  tail -n 1 /tmp/held
}

# Waits up to twenty seconds for /tmp/out to have N lines.
wait_lines() {
  local tries=0
  while [ "$(wc -l </tmp/out)" -lt "$1" ] && [ $tries -lt 200 ]; do
    usleep 100000
    tries=$((tries + 1))
  done
}

# Readings in /tmp/out since the last run of failures (an unplug), not
# counting a single stalled read.
readings_since_unplug() {
  awk '/^Failed/ { failures++; next }
    /^Readed/ { if (failures >= 2) count = 0; failures = 0; count++ }
    END { print count + 0 }' /tmp/out
}

# Waits up to twenty seconds for N readings after an unplug.
wait_after_unplug() {
  local tries=0
  while [ "$(readings_since_unplug)" -lt "$1" ] && [ $tries -lt 200 ]; do
    usleep 100000
    tries=$((tries + 1))
  done
}

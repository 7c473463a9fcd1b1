# SPDX-License-Identifier: MIT
"""The monitor a user might write instead, in Python over libftdi1's
binding, for the comparison: open the first FT232R, bit-bang mode with
every line an input, then read, print, flush and sleep 100 ms for ever."""
import sys
import time

import ftdi1

ftdi = ftdi1.new()
if ftdi1.usb_open(ftdi, 0x0403, 0x6001) != 0 or \
        ftdi1.set_bitmode(ftdi, 0x00, ftdi1.BITMODE_BITBANG) != 0:
    print("start-up failed")
    sys.exit(1)
while True:
    status, pins = ftdi1.read_pins(ftdi)
    if status == 0:
        pins = ord(pins) if isinstance(pins, (str, bytes)) else pins
        print("Readed: %x : %s" % (pins, format(pins, "08b")), flush=True)
    else:
        print("Failed to read pins", flush=True)
    time.sleep(0.1)

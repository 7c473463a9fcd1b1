# SPDX-License-Identifier: MIT
# The real pinmon, through libftdi1 and libusb, on emulated FTDI chips.
# Usage, under umockdev-wrapper:
#   pinmon_on_chips.py PINMON READ_PROBE PINMON_LIST FAILING_CALL [--memcheck]
# With --memcheck it runs the program's ways out under valgrind instead.

import errno
import os
import re
import signal
import subprocess
import sys
import tempfile
import traceback

from ftdi_chips import (HANG, KINDS, READ_PINS, RESET, STALL, Bed, Channel,
                        late, leave, reachable)

PINMON, READ_PROBE, PINMON_LIST, FAILING_CALL = (os.path.abspath(path)
                                                 for path in sys.argv[1:5])
MEMCHECK = "--memcheck" in sys.argv[5:]

STARTUP = ["FTDI Bit Bang mode", "Device 0 opened", "BitBang mode On"]
FAILED = "Failed to read pins"
SIGTERM = 15
SIGPIPE = 13

passed = failed = 0


def check(name, expected, actual):
    global passed, failed
    if expected == actual:
        passed += 1
    else:
        failed += 1
        print("FAIL: %s\n--- expected\n%r\n--- actual\n%r" %
              (name, expected, actual))


def line(byte):
    return "Readed: %x : %s" % (byte, format(byte, "08b"))


def transfers(chip, request=None):
    """The control transfers the chip received, without their times."""
    return [entry[:5] for entry in chip.controls(request)]


def interfaces(chip):
    """What was done to the chip's interfaces, in order."""
    return [entry for entry in chip.log
            if entry[0] in ("detach", "attach", "claim", "release")]


def lines_for(pins):
    return [FAILED if pin in (STALL, HANG) else line(pin) for pin in pins]


# Each channel of each chip alone: the start-up, one line per byte that
# channel serves, in order, and exactly the requests a bit-bang reader
# needs, sent to that channel. Only its own interface is touched, and its
# serial driver comes back when the monitor ends. Channel c of a chip
# serves PINS with c in the high nibble of each byte.
PINS = [0x00, 0x05, STALL, 0x08, 0x0A, 0x0F, 0x07]


def channel_pins(channel):
    return [pin if pin in (STALL, HANG) else pin | channel << 4
            for pin in PINS]


def each_channel_alone():
    # From the bit mode to the first read, over the time between the first
    # two reads: near 0 when the loop reads first, half or more when it
    # sleeps first. The median keeps one stalled run from deciding.
    first_waits = []
    for kind in KINDS:
        count = KINDS[kind][2]
        for channel in range(count):
            name = "%s channel %s" % (kind, "ABCD"[channel])
            bed = Bed()
            chip = bed.add(kind, serial="FT%d" % count, channels=[
                Channel(pins=channel_pins(c)) for c in range(count)])
            run = bed.start([PINMON, str(channel)])
            run.wait_for_lines(3 + len(PINS))
            check(name + ": still running", None, run.process.poll())
            check(name + ": other channels keep their driver",
                  ["ftdi_sio"] * (count - 1),
                  [c.driver for i, c in enumerate(chip.channels)
                   if i != channel])
            check(name + ": exit", -SIGTERM, run.stop())
            startup = ["FTDI Bit Bang mode", "Device %d opened" % channel,
                       "BitBang mode On"]
            check(name + ": lines", startup + lines_for(channel_pins(channel)),
                  run.lines[:3 + len(PINS)])
            index = channel + 1
            check(name + ": bit mode once, inputs, asynchronous bit-bang",
                  [(0x40, 0x0B, 0x0100, index, 0)], transfers(chip, 0x0B))
            check(name + ": reads", {(0xC0, 0x0C, 0, index, 1)},
                  set(transfers(chip, 0x0C)))
            check(name + ": only its interface, given back at the end",
                  [("detach", channel), ("claim", channel, 0),
                   ("release", channel, 0), ("attach", channel)],
                  interfaces(chip))
            times = [entry[6] for entry in chip.controls(0x0C)]
            mode_set = chip.controls(0x0B)[0][6]
            first_waits.append((times[0] - mode_set) / (times[1] - times[0]))
            check(name + ": reads at least 100 ms apart", [],
                  ["%.1f ms" % (1000 * (later - earlier))
                   for earlier, later in zip(times, times[1:])
                   if later - earlier < 0.1])
            check(name + ": nothing unknown", [],
                  [entry for entry in chip.log if "unknown" in entry[0]])
    first_waits.sort()
    median = first_waits[len(first_waits) // 2]
    check("the first reading comes right after the bit mode, not a period "
          "later (median %.2f of a period)" % median, True, median < 0.25)


# Start-ups that fail: the fixed message, exit status 255, and nothing
# touched on the chip beyond what the case needs.
def start_failures():
    return [
        # name, chip options, arguments, user, last line, interface log
        ("index past the last device", {}, ["1"], None,
         "Can't open device 1", []),
        ("negative index", {}, ["-1"], None, "Can't open device -1", []),
        ("node refused to the user", {"refused": True}, [], "nobody",
         "Can't open device 0", []),
        ("interface held by another program",
         {"channels": [Channel(busy=True)]}, [], None, "Can't open device 0",
         [("claim", 0, errno.EBUSY)]),
        ("bit mode stalled", {"channels": [Channel(mode=STALL)]}, [], None,
         "Failed to set bitbang mode",
         [("detach", 0), ("claim", 0, 0), ("release", 0, 0), ("attach", 0)]),
        ("reset stalled at open", {"channels": [Channel(reset=STALL)]}, [],
         None, "Can't open device 0",
         [("detach", 0), ("claim", 0, 0), ("release", 0, "at close"),
          ("attach", 0)]),
        # A terminal program has the serial port open: root sees its open
        # file, any user its lock. The kernel would detach all the same.
        ("serial port open in a terminal program", {"tty_user": "open"}, [],
         None, "Can't open device 0", []),
        ("serial port locked by another user's program", {"tty_user": "lock"},
         [], "nobody", "Can't open device 0", []),
    ]


def run_failed_startups(wrapper=()):
    """Runs each failing start-up, under wrapper if given; yields its name,
    exit status, run and chip, and the output and interface log wanted."""
    for name, options, arguments, user, last, expected_log in start_failures():
        bed = Bed()
        tty_user = options.pop("tty_user", None)
        chip = bed.add("FT232R", serial="F1", **options)
        if tty_user:
            bed.hold_tty(chip.channels[0], lock=tty_user == "lock")
        run = bed.start([*wrapper, PINMON, *arguments], user=user)
        yield name, run.finish(), run, chip, last, expected_log


def failed_startups():
    for name, status, run, chip, last, expected_log in run_failed_startups():
        check(name + ": status", 255, status)
        first = ["FTDI Bit Bang mode"]
        if last == "Failed to set bitbang mode":
            first.append("Device 0 opened")
        check(name + ": output", first + [last], run.lines)
        check(name + ": standard error", "", run.errors)
        check(name + ": interfaces", expected_log, interfaces(chip))
        if last.startswith("Can't open"):
            check(name + ": no request sent but the open's reset", [],
                  [t for t in transfers(chip) if t[2] != RESET])


# However the monitor ends, the serial driver is attached again where it
# was detached, and only there; the process ends as it would have. A signal
# the parent ignored stays ignored, and a SIGRTMIN from outside (the one
# the backend stops its own thread with) is a signal like the others.
SIGRTMIN = int(signal.SIGRTMIN)


def endings():
    # signals sent one after another while it runs, ignored from the
    # start, the status it ends with (None: it runs on, and TERM ends it)
    rows = [((2,), (), -2), ((15,), (), -15), ((1,), (), -1),
            ((SIGPIPE,), (), -SIGPIPE), ((3,), (), -3), ((10,), (), -10),
            ((SIGRTMIN, 2), (), -SIGRTMIN), ((1,), (1,), None),
            ((SIGRTMIN,), (SIGRTMIN,), None)]
    for driver in ("ftdi_sio", None):
        for signals, ignored, status in rows:
            name = "signals %s%s, driver %s" % (
                signals, ", ignored %s" % (ignored,) if ignored else "",
                driver)
            bed = Bed()
            chip = bed.add("FT2232H", serial="E1", channels=[
                Channel(pins=[0x42], driver=driver), Channel()])
            run = bed.start([PINMON], ignore=ignored)
            run.wait_for_lines(5)
            for number in signals[:-1]:
                run.process.send_signal(number)
                run.wait_for(lambda: run.process.poll() is not None)
            if status is None:
                run.process.send_signal(signals[-1])
                seen = len(run.lines)
                run.wait_for_lines(seen + 2)
                check(name + ": runs on", None, run.process.poll())
                status, last = -15, 15
            else:
                last = signals[-1]
            check(name + ": ended by the signal", status, run.stop(last))
            check(name + ": lines kept", STARTUP + [line(0x42)] * 2,
                  run.lines[:5])
            given_back = [("attach", 0)] if driver else []
            check(name + ": interfaces",
                  ([("detach", 0)] if driver else []) +
                  [("claim", 0, 0), ("release", 0, 0)] + given_back,
                  interfaces(chip))
            check(name + ": channel B untouched", "ftdi_sio",
                  chip.channels[1].driver)


# A signal that comes while a read is under way: the read fails, but that
# is the way out, not the chip: no failure is printed, nothing is opened
# again, and the driver is back and stays back.
def ending_during_a_read():
    for number in (2, 3, 15, SIGRTMIN):
        name = "signal %d during a read" % number
        bed = Bed()
        chip = bed.add("FT232R", serial="E2",
                       channels=[Channel(pins=[0x42, 0x42, HANG])])
        run = bed.start([PINMON])
        run.wait_for(lambda: HANG in [e[5] for e in chip.controls(READ_PINS)])
        run.process.send_signal(number)
        check(name + ": ended by the signal", -number, run.finish())
        check(name + ": lines", STARTUP + [line(0x42)] * 2, run.lines)
        check(name + ": interfaces", [("detach", 0), ("claim", 0, 0),
                                      ("release", 0, 0), ("attach", 0)],
              interfaces(chip))
        check(name + ": the driver is back", "ftdi_sio",
              chip.channels[0].driver)


# When the reader of the monitor's output goes away, the serial driver is
# back on the channel before the monitor ends, as a SIGPIPE death; every
# line written before reached the reader whole.
def reader_goes():
    for name, reader in [("| head -n 3", "head"), ("the reader closes "
                                                    "mid-run", "close")]:
        bed = Bed()
        chip = bed.add("FT2232H", serial="G1", channels=[
            Channel(pins=[0x42]), Channel()])
        if reader == "head":
            run = bed.start(["bash", "-c", '"$0" | head -n 3; '
                             'echo "status ${PIPESTATUS[0]}"', PINMON])
            check(name + ": exit", 0, run.finish())
            check(name + ": lines", STARTUP + ["status 141"], run.lines)
        else:
            run = bed.start([PINMON])
            run.wait_for_lines(6)
            check(name + ": ended by SIGPIPE", -SIGPIPE, run.close_reader())
            check(name + ": lines whole", STARTUP + [line(0x42)] * (
                len(run.lines) - 3), run.lines)
        check(name + ": standard error", "", run.errors)
        check(name + ": the driver is back", ["ftdi_sio", "ftdi_sio"],
              [channel.driver for channel in chip.channels])
        check(name + ": interfaces", [("detach", 0), ("claim", 0, 0),
                                      ("release", 0, 0), ("attach", 0)],
              interfaces(chip))


# pinmon-list: every index pinmon would open, in its order, with what the
# kernel knows; it sends nothing to a chip. Rows are compared with their
# blanks squeezed, the product last and whole.
KIND_NAMES = {"FT232R": "FT232R", "FT2232H": "FT2232H", "FT4232H": "FT4232H",
              "FT232H": "FT232H", "FT230X": "FT-X"}
HEADER = "INDEX CHIP CHANNEL PORT SERIAL HOLDER ACCESS PRODUCT"


def list_cases():
    # name, chips as (kind, options), user, index monitored meanwhile, rows
    cases = []
    for kind, (_, _, count, _, _) in KINDS.items():
        cases.append((kind + " alone", [(kind, {"serial": "S" + kind})], None,
                      None, ["%d %s %s 1-1 S%s ttyUSB%d yes %s" % (
                          c, KIND_NAMES[kind], "ABCD"[c] if count > 1 else "-",
                          kind, c, kind) for c in range(count)]))
    cases += [
        ("a tty and none, no serial number", [("FT2232H", {
            "product_string": "Dual RS232-HS",
            "channels": [Channel(tty="ttyUSB3"), Channel(driver=None)]})],
         None, None, ["0 FT2232H A 1-1 - ttyUSB3 yes Dual RS232-HS",
                      "1 FT2232H B 1-1 - free yes Dual RS232-HS"]),
        ("held by another program", [("FT232R", {
            "serial": "B1", "channels": [Channel(busy=True)]})], None, None,
         ["0 FT232R - 1-1 B1 claimed yes FT232R"]),
        ("held by another driver", [("FT232R", {
            "serial": "B2", "channels": [Channel(driver="usb_serial_generic")]
        })], None, None, ["0 FT232R - 1-1 B2 claimed yes FT232R"]),
        ("held by pinmon", [("FT2232H", {"serial": "M2"})], None, 0,
         ["0 FT2232H A 1-1 M2 claimed yes FT2232H",
          "1 FT2232H B 1-1 M2 ttyUSB1 yes FT2232H"]),
        ("a port open in a terminal program", [("FT232R", {
            "serial": "O1", "tty_user": "open"})], None, None,
         ["0 FT232R - 1-1 O1 ttyUSB0:picocom[{pid}] yes FT232R"]),
        ("a port locked, seen by another user", [("FT232R", {
            "serial": "O2", "tty_user": "lock"})], "nobody", None,
         ["0 FT232R - 1-1 O2 ttyUSB0:picocom[{pid}] yes FT232R"]),
        ("a port open without a lock, unseen by another user", [("FT232R", {
            "serial": "O3", "tty_user": "open"})], "nobody", None,
         ["0 FT232R - 1-1 O3 ttyUSB0 yes FT232R"]),
        ("a node refused to the user beside one it may open", [
            ("FT232R", {"serial": "N1", "refused": True}),
            ("FT232H", {"serial": "N2", "port": "2"})], "nobody", None,
         ["0 FT232R - 1-1 N1 ttyUSB0 no FT232R",
          "1 FT232H - 1-2 N2 ttyUSB1 yes FT232H"]),
    ]
    return cases


def listed(bed, name, user=None, wrapper=(), arguments=()):
    """pinmon-list's rows, after the checks that every listing passes."""
    run = bed.start([*wrapper, PINMON_LIST, *arguments], user=user)
    status = run.finish()
    check(name + ": status", 0, status)
    check(name + ": standard error", "", run.errors)
    check(name + ": header", HEADER, " ".join(run.lines[:1][0].split())
          if run.lines else None)
    starts = [[m.start() for m in re.finditer(r"\S+", text)][:8]
              for text in run.lines]
    check(name + ": aligned columns", [starts[0]] * len(starts), starts)
    return [" ".join(text.split()) for text in run.lines[1:]]


def listings():
    for name, chips, user, monitored, rows in list_cases():
        name = "pinmon-list, " + name
        bed = Bed()
        holder = None
        for kind, options in chips:
            options = dict(options)
            tty_user = options.pop("tty_user", None)
            chip = bed.add(kind, **options)
            if tty_user:
                holder = bed.hold_tty(chip.channels[0],
                                      lock=tty_user == "lock")
        if holder:
            rows = [row.format(pid=holder.process.pid) for row in rows]
        monitor = None
        if monitored is not None:
            monitor = bed.start([PINMON, str(monitored)])
            monitor.wait_for_lines(4)
        # Beside a monitor, whose reads go on meanwhile, what the listing
        # could send is everything in the logs but those reads.
        def sent():
            return ([] if monitor else [c.node.ioctls for c in bed.chips]) + [
                [e for e in c.log
                 if not (monitor and e[:3] == ("control", 0xC0, READ_PINS))]
                for c in bed.chips]
        before = sent()
        check(name, rows, listed(bed, name, user))
        check(name + ": nothing sent to a chip", before, sent())
        if monitor:
            monitor.stop()
    bed = Bed()
    run = bed.start([PINMON_LIST])
    check("pinmon-list, no chip", (1, [], "no FTDI chip found\n"),
          (run.finish(), run.lines, run.errors))
    for call, why in [("ftdi_new", "libftdi1 could not start libusb"),
                      ("ftdi_usb_find_all", "libusb_get_device_list() failed")]:
        run = bed.start([PINMON_LIST], env={
            "FAILING_CALL": call,
            "LD_PRELOAD": os.environ.get("LD_PRELOAD", "") + " " + FAILING_CALL})
        check("pinmon-list, %s fails" % call, (3, [], "pinmon-list: cannot "
              "list the USB devices: %s\n" % why),
              (run.finish(), run.lines, run.errors))


# pinmon-list --serial, --port and --channel keep the channels that match
# them all; --index gives the index of the one that matches, or says why
# there is none. Two FT232R share a serial number, as clones often do.
SELECTION_CHIPS = [("FT232R", {"serial": "A50285BI", "port": "2"}),
                   ("FT232R", {"serial": "A50285BI", "port": "3"}),
                   ("FT2232H", {"serial": "FT2ABC", "port": "4", "channels": [
                       Channel(pins=[0xA4]), Channel(pins=[0xB4])]}),
                   ("FT232H", {"port": "5"})]
SEVERAL = "pinmon-list: 2 channels have serial number %s; add %s\n"
USAGE = ("usage: pinmon-list [--serial SERIAL] [--port PORT] "
         "[--channel A|B|C|D] [--index]\n")


def selection_cases():
    # arguments, status, rows or index (index, port, channel), stderr
    return [
        (["--serial", "A50285BI"], 0, ["0 1-2 -", "1 1-3 -"], ""),
        (["--port", "1-3"], 0, ["1 1-3 -"], ""),
        (["--port", "1"], 1, [], "no FTDI chip matches\n"),
        (["--channel", "B"], 0, ["3 1-4 B"], ""),
        (["--channel=A"], 0, ["0 1-2 -", "1 1-3 -", "2 1-4 A", "4 1-5 -"], ""),
        (["--serial", "FT2ABC", "--channel", "B"], 0, ["3 1-4 B"], ""),
        (["--serial=A50285BI", "--port=1-3", "--channel=A"], 0, ["1 1-3 -"],
         ""),
        (["--serial", "NOPE"], 1, [], "no FTDI chip matches\n"),
        (["--serial", "FT2ABC", "--port", "1-2"], 1, [],
         "no FTDI chip matches\n"),
        (["--serial", "FT2ABC", "--channel", "B", "--index"], 0, ["3"], ""),
        (["--index", "--port", "1-5"], 0, ["4"], ""),
        (["--serial", "A50285BI", "--index"], 1, [],
         SEVERAL % ("A50285BI", "--port")),
        (["--serial", "FT2ABC", "--index"], 1, [],
         SEVERAL % ("FT2ABC", "--channel")),
        (["--serial", "NOPE", "--index"], 1, [], "no FTDI chip matches\n"),
        (["--index"], 1, [], "pinmon-list: 5 channels; add --port or "
         "--channel\n"),
        (["--channel", "A", "--index"], 1, [],
         "pinmon-list: 4 channels have channel A; add --port\n"),
        (["--channel", "E"], 2, [], "pinmon-list: --channel: \"E\" is not "
         "A, B, C or D\n" + USAGE),
        (["--serial"], 2, [], "pinmon-list: --serial needs a value\n" +
         USAGE),
        (["--port="], 2, [], "pinmon-list: --port needs a value\n" + USAGE),
        (["--port", "1-2", "--port", "1-3"], 2, [],
         "pinmon-list: --port given twice\n" + USAGE),
        (["0"], 2, [], "pinmon-list: unknown argument \"0\"\n" + USAGE),
    ]


def selections():
    bed = Bed()
    for kind, options in SELECTION_CHIPS:
        bed.add(kind, **options)
    for arguments, status, rows, errors in selection_cases():
        name = "pinmon-list " + " ".join(arguments)
        if status == 0 and "--index" not in arguments:
            check(name, rows, [" ".join(row.split()[i] for i in (0, 3, 2))
                               for row in listed(bed, name,
                                                 arguments=arguments)])
            continue
        run = bed.start([PINMON_LIST, *arguments])
        check(name, (status, rows, errors),
              (run.finish(), run.lines, run.errors))
    check("pinmon-list with options: nothing sent to a chip",
          [0] * len(bed.chips), [c.node.ioctls for c in bed.chips])
    # The index that --index gives is the channel pinmon then opens.
    run = bed.start(["bash", "-c", '"$0" "$("$1" --serial FT2ABC --channel B '
                     '--index)"', PINMON, PINMON_LIST])
    run.wait_for_lines(4)
    run.stop()
    check("pinmon on the index --index gives", ["Device 3 opened",
                                                 line(0xB4)], run.lines[1:4:2])
    # A listing that cannot be written is an error; a reader that has gone
    # ends it as it ends pinmon, whether SIGPIPE kills or is ignored.
    for name, argv, status, errors in [
            ("onto a full disk", ["bash", "-c", '"$0" >/dev/full',
                                  PINMON_LIST], 4, "pinmon-list: cannot "
             "write the listing: No space left on device\n"),
            ("--index onto a full disk", ["bash", "-c", '"$0" --index --port '
                                          '1-5 >/dev/full', PINMON_LIST], 4,
             "pinmon-list: cannot write the listing: No space left on "
             "device\n"),
            ("to a reader gone", [sys.executable, "-c", READER_GONE,
                                  PINMON_LIST, "default"], 0, "-13\n"),
            ("to a reader gone, SIGPIPE ignored", [sys.executable, "-c",
                                                   READER_GONE, PINMON_LIST,
                                                   "ignored"], 0, "141\n")]:
        run = bed.start(argv)
        check("pinmon-list " + name, (status, [], errors),
              (run.finish(), run.lines, run.errors))


# Runs argv[1] with its standard output on a pipe nobody reads, SIGPIPE as
# argv[2] says, and prints its status as subprocess gives it.
READER_GONE = """import os, signal, subprocess, sys
reader, writer = os.pipe()
os.close(reader)
ignored = sys.argv[2] == "ignored"
status = subprocess.call([sys.argv[1]], stdout=writer,
                         restore_signals=not ignored)
sys.stderr.write("%d\\n" % status)
"""


# A read that the chip never answers fails after a short timeout and the
# monitor goes on; the request was cancelled, not left behind.
def read_never_answered():
    bed = Bed()
    chip = bed.add("FT232R", serial="H1",
                   channels=[Channel(pins=[0x11, HANG, 0x22])])
    run = bed.start([PINMON])
    run.wait_for_lines(7)
    check("read never answered: exit", -SIGTERM, run.stop())
    check("read never answered: lines",
          STARTUP + [line(0x11), FAILED, line(0x22), line(0x22)],
          run.lines[:7])
    check("read never answered: request cancelled", [], chip.node.hanging)
    reads = [entry[6] for entry in chip.controls(0x0C)]
    print("read never answered: %.0f ms from the reading before it to the "
          "one after it" % (1000 * (run.arrivals[5] - run.arrivals[3])))
    check("read never answered: waited for an answer", True,
          reads[2] - reads[1] >= 0.3)


# The timeout told by answers that come late: one after 50 ms is a slow
# chip and still a reading; one after a second and a half counts as none.
def late_answers():
    bed = Bed()
    bed.add("FT232R", serial="L1", channels=[Channel(
        pins=[0x11, late(0x22, 0.05), late(0x33, 1.5), 0x44])])
    run = bed.start([PINMON])
    run.wait_for_lines(7)
    run.stop()
    check("late answers", STARTUP + [line(0x11), line(0x22), FAILED,
                                     line(0x44)], run.lines[:7])


# A stalled read is a failed read. Unplugged mid-run: failure lines at the
# usual pace, no crash, no exit. Plugged back (with a new device number),
# the same chip is opened again, set to bit-bang mode again and read, with
# nothing else printed; another chip in its place is not taken, and nor is
# a twin elsewhere with the same serial number, whether its index is above
# or below the monitor's. A chip that comes back with its serial port open
# in a terminal program is left to it until that program closes the port.
def unplug_and_replug():
    # name, serial of the chip, serial of the one plugged in its place,
    # port of a twin with the chip's serial number, port open when back
    for name, serial, comes_back, twin_port, port_open in [
            ("the same chip", "U1", "U1", None, False),
            ("the same chip without a serial number", None, None, None, False),
            ("another chip in its port", "U1", "U2", None, False),
            ("a twin before it", "A50285BI", "A50285BI", "2", False),
            ("a twin after it", "A50285BI", "A50285BI", "4", False),
            ("the same chip, its port open", "U1", "U1", None, True)]:
        bed = Bed()
        twin = twin_port and bed.add("FT2232H", serial=serial, port=twin_port,
                                     channels=[Channel(pins=[0xAA]),
                                               Channel(pins=[0xAA])])
        chip = bed.add("FT2232H", serial=serial, port="3",
                       channels=[Channel(pins=[0x01, STALL, 0x02]), Channel()])
        index = 2 if twin_port == "2" else 0
        run = bed.start([PINMON, str(index)])
        run.wait_for_lines(5)
        check(name + ": the stalled read", [line(1), FAILED], run.lines[3:5])
        chip.unplug()
        unplugged_at = run.arrivals[-1]
        run.wait_for_lines(12)
        check(name + ": still running while unplugged", None,
              run.process.poll())
        after = run.lines[5:12]
        # The read in flight at the unplug may still have been answered.
        if after and after[0] == line(2):
            run.wait_for_lines(13)
            after = run.lines[6:13]
        check(name + ": failures while unplugged", [FAILED] * 7, after)
        # A lower bound only: seven failures take at least six periods.
        span = run.arrivals[11] - unplugged_at
        check(name + ": failures at the poll period (%.2f s)" % span, True,
              span >= 0.6)
        holder = []
        if comes_back == serial:
            chip.plug_back(bed.next_devnum(1), pins=[0x5A], before_add=(
                lambda: holder.append(bed.hold_tty(chip.channels[0])))
                if port_open else None)
            back = chip
        else:
            back = bed.add("FT2232H", serial=comes_back, port=chip.port,
                           channels=[Channel(pins=[0x5A]), Channel()])
            bed.testbed.uevent(back.syspath, "add")
        plugged = len(run.lines)
        if holder:
            run.wait_for_lines(plugged + 5)
            check(name + ": only failures while the port is open",
                  [FAILED] * 5, run.lines[plugged:plugged + 5])
            check(name + ": the port kept", ["plug"], [
                e[0] for e in chip.log[chip.log.index(("plug",)):]
                if e[0] in ("plug", "detach", "claim", "port lost")])
            holder[0].stop()
            plugged = len(run.lines)
        run.wait_for(lambda: line(0x5A) in run.lines[plugged:] or
                     len(run.lines) >= plugged + 10)
        check(name + ": exit", -SIGTERM, run.stop())
        if twin:
            check(name + ": the twin untouched", [], interfaces(twin))
        tail = [text for text in run.lines[5:] if text != FAILED]
        if back is chip:
            check(name + ": read again after the replug",
                  [line(0x5A)] * len(tail), tail)
            since = chip.log[chip.log.index(("plug",)):]
            check(name + ": opened again, bit mode set again",
                  [("detach", 0), ("claim", 0, 0), ("bit mode", 0x0100, 1)],
                  [("bit mode", entry[3], entry[4]) if entry[0] == "control"
                   else entry for entry in since
                   if entry[0] in ("detach", "claim") or
                   entry[:3] == ("control", 0x40, 0x0B)][:3])
            first = next((i for i, text in enumerate(run.lines)
                          if i >= plugged and text == line(0x5A)), None)
            if first is not None:
                print("%s: %.0f ms from the replug to the first reading" %
                      (name, 1000 * (run.arrivals[first] - back.plugged_at)))
        else:
            check(name + ": only failures", [], tail)
            check(name + ": the other chip untouched", [], interfaces(back))


# Several chips at once, plugged in an order unlike the one they are
# counted in: by bus, then by port path number by number, then channel.
def several_chips():
    bed = Bed()
    hub = bed.add_hub(1, "2")
    bed.add("FT232R", serial="P21", bus=2, port="1",
            channels=[Channel(pins=[0x21])])
    bed.add("FT232R", serial="P110", port="10",
            channels=[Channel(pins=[0x10])])
    bed.add("FT2232H", serial="P121", port="2.1", hub=hub,
            channels=[Channel(pins=[0xA1]), Channel(pins=[0xB1])])
    bed.add("FT232R", serial="P13", port="3", channels=[Channel(pins=[0x03])])
    expected = [0xA1, 0xB1, 0x03, 0x10, 0x21]  # 1-2.1 A, B, 1-3, 1-10, 2-1
    check("several chips: pinmon-list", [
        "0 1-2.1 A P121", "1 1-2.1 B P121", "2 1-3 - P13", "3 1-10 - P110",
        "4 2-1 - P21"], [" ".join(row.split()[i] for i in (0, 3, 2, 4))
                         for row in listed(bed, "several chips")])
    for index, byte in enumerate(expected):
        run = bed.start([PINMON, str(index)])
        run.wait_for_lines(4)
        run.stop()
        check("several chips: index %d" % index, line(byte),
              run.lines[3] if len(run.lines) > 3 else run.lines)
    run = bed.start([PINMON, str(len(expected))])
    check("several chips: past the last channel", 255, run.finish())


# The backend itself: a read that fails leaves the caller's byte alone,
# even when the failed transfer brought a byte with it.
def failed_read_leaves_byte():
    bed = Bed()
    bed.add("FT232R", serial="R1",
            channels=[Channel(pins=[0x42, STALL, 0x00])])
    run = bed.start([READ_PROBE, "3"])
    check("probe: status", 0, run.finish())
    check("probe: a failed read leaves the byte", ["ok 42", "failed 5a",
                                                   "ok 00"], run.lines)
    # Given back, the device is not read, nor opened again.
    chip = bed.chips[0]
    del chip.log[:]
    run = bed.start([READ_PROBE, "3", "1"])
    check("probe: reads after the give-back fail", (0, ["ok 00", "failed 5a",
                                                       "failed 5a"]),
          (run.finish(), run.lines))
    check("probe: nothing opened after the give-back", [
        ("detach", 0), ("claim", 0, 0), ("release", 0, 0), ("attach", 0)],
        interfaces(chip))


def memcheck_summary(log):
    """Errors, and the leaks that no pointer reaches any more, from a log;
    a heap freed to the last block reports no leak lines at all."""
    summary = {"ERROR SUMMARY": None, "definitely lost": 0,
               "indirectly lost": 0}
    if not os.path.exists(log):
        return {"no log": "memcheck never ran"}
    with open(log) as file:
        entries = file.read().splitlines()
    os.unlink(log)  # the next run may be another user's
    for entry in entries:
        for label in summary:
            if label + ":" in entry:
                count = entry.split(label + ":")[1].split()[0]
                summary[label] = int(count.replace(",", ""))
    return summary


def memcheck_runs():
    clean = {"ERROR SUMMARY": 0, "definitely lost": 0, "indirectly lost": 0}
    suppressions = reachable(os.path.join(os.path.dirname(__file__),
                                          "umockdev.supp"))
    with tempfile.TemporaryDirectory() as scratch:
        os.chmod(scratch, 0o777)
        log = os.path.join(scratch, "valgrind.log")
        memcheck = ["valgrind", "--leak-check=full", "--log-file=" + log,
                    "--errors-for-leak-kinds=definite,indirect",
                    "--show-leak-kinds=definite,indirect",
                    "--suppressions=" + suppressions]
        for name, status, *_ in run_failed_startups(memcheck):
            check("memcheck, %s: status" % name, 255, status)
            check("memcheck, " + name, clean, memcheck_summary(log))
        bed = Bed()
        bed.add("FT2232H", serial="L1")
        bed.add("FT232R", port="2", channels=[Channel(busy=True)])
        check("memcheck, pinmon-list: rows", 3,
              len(listed(bed, "memcheck, pinmon-list", wrapper=memcheck)))
        check("memcheck, pinmon-list", clean, memcheck_summary(log))
        bed = Bed()
        bed.add("FT4232H", serial="M1",
                channels=[Channel(pins=[0x01, STALL, 0xFF])] +
                [Channel() for _ in range(3)])
        chip = bed.chips[0]
        run = bed.start(memcheck + [PINMON])
        run.wait_for_lines(7, limit=120)
        check("memcheck, polling: lines", STARTUP + lines_for(
            [0x01, STALL, 0xFF, 0xFF]), run.lines[:7])
        # Unplugged and plugged back, the chip is opened a second time.
        chip.unplug()
        run.wait_for(lambda: run.lines[-3:] == [FAILED] * 3, limit=120)
        chip.plug_back(bed.next_devnum(1), pins=[0x5A])
        run.wait_for(lambda: run.lines[-1] == line(0x5A), limit=120)
        check("memcheck, polling: read again after a replug", line(0x5A),
              run.lines[-1])
        check("memcheck, polling: ended by the signal", -SIGTERM, run.stop())
        # Ended by a signal, memcheck still reports; the leak kinds that
        # matter are those no pointer reaches any more.
        check("memcheck, polling", clean, memcheck_summary(log))


def run_all():
    if MEMCHECK:
        memcheck_runs()
        return
    each_channel_alone()
    failed_startups()
    endings()
    ending_during_a_read()
    reader_goes()
    listings()
    selections()
    read_never_answered()
    late_answers()
    unplug_and_replug()
    several_chips()
    failed_read_leaves_byte()


try:
    run_all()
except BaseException:  # a broken test, or ended from outside
    traceback.print_exc()
    failed += 1
print("%d passed, %d failed" % (passed, failed))
leave(1 if failed else 0)

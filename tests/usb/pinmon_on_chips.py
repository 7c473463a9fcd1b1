# The real pinmon, through libftdi1 and libusb, on emulated FTDI chips.
# Usage, under umockdev-wrapper:
#   pinmon_on_chips.py PINMON READ_PROBE [--memcheck]
# With --memcheck it runs the program's ways out under valgrind instead.

import errno
import os
import subprocess
import sys
import tempfile

from ftdi_chips import HANG, KINDS, STALL, Bed, Channel

PINMON, READ_PROBE = (os.path.abspath(path) for path in sys.argv[1:3])
MEMCHECK = "--memcheck" in sys.argv[3:]

STARTUP = ["FTDI Bit Bang mode", "Device 0 opened", "BitBang mode On"]
FAILED = "Failed to read pins"
SET_BITMODE = (0x40, 0x0B, 0x0100, 1, 0)
READ_PINS = (0xC0, 0x0C, 0x0000, 1, 1)
SIGTERM = 15

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


# Each chip alone: the start-up, one line per byte served by channel A, in
# order, and exactly the requests a bit-bang reader needs. Every other
# channel serves 3c, which must never show.
PINS = [0x00, 0x05, STALL, 0x80, 0xA5, 0xFF, 0x7F]


def each_chip_alone():
    for kind in KINDS:
        bed = Bed()
        count = KINDS[kind][2]
        chip = bed.add(kind, serial="FT%d" % count, channels=[
            Channel(pins=PINS)] + [Channel(pins=[0x3C]) for _ in range(count - 1)])
        run = bed.start([PINMON])
        run.wait_for_lines(3 + len(PINS))
        check(kind + ": still running", None, run.process.poll())
        check(kind + ": exit", -SIGTERM, run.stop())
        check(kind + ": lines", STARTUP + lines_for(PINS),
              run.lines[:3 + len(PINS)])
        check(kind + ": bit mode once, inputs, asynchronous bit-bang",
              [SET_BITMODE], transfers(chip, 0x0B))
        check(kind + ": reads", {READ_PINS}, set(transfers(chip, 0x0C)))
        check(kind + ": channel A detached and claimed",
              [("detach", 0), ("claim", 0, 0)], interfaces(chip))
        times = [entry[6] for entry in chip.controls(0x0C)]
        check(kind + ": reads at least 100 ms apart", [],
              ["%.1f ms" % (1000 * (later - earlier))
               for earlier, later in zip(times, times[1:])
               if later - earlier < 0.1])
        check(kind + ": nothing unknown", [],
              [entry for entry in chip.log if "unknown" in entry[0]])


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
         "Failed to set bitbang mode", [("detach", 0), ("claim", 0, 0)]),
    ]


def failed_startups(wrapper=()):
    for name, options, arguments, user, last, expected_log in start_failures():
        bed = Bed()
        chip = bed.add("FT232R", serial="F1", **options)
        run = bed.start([*wrapper, PINMON, *arguments], user=user)
        status = run.finish()
        if wrapper:
            yield name, status
            continue
        check(name + ": status", 255, status)
        first = ["FTDI Bit Bang mode"]
        if last == "Failed to set bitbang mode":
            first.append("Device 0 opened")
        check(name + ": output", first + [last], run.lines)
        check(name + ": standard error", "", run.errors)
        check(name + ": interfaces", expected_log, interfaces(chip))
        if last.startswith("Can't open"):
            check(name + ": no request sent", [], transfers(chip))


def kernel_driver_not_bound():
    bed = Bed()
    chip = bed.add("FT232H", serial="N1", channels=[Channel(driver=None)])
    run = bed.start([PINMON])
    run.wait_for_lines(4)
    run.stop()
    check("no kernel driver: reads", STARTUP + [line(0xFF)], run.lines[:4])
    check("no kernel driver: nothing detached", [("claim", 0, 0)],
          interfaces(chip))


# A read that the chip never answers fails after libusb's timeout and the
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


# Unplugged mid-run: failure lines at the usual pace, no crash, no exit.
def unplug_mid_run():
    bed = Bed()
    chip = bed.add("FT2232H", serial="U1",
                   channels=[Channel(pins=[0x01, 0x02]), Channel()])
    run = bed.start([PINMON])
    run.wait_for_lines(5)
    chip.unplug()
    unplugged_at = run.arrivals[-1]
    run.wait_for_lines(12)
    check("unplugged: still running", None, run.process.poll())
    check("unplugged: exit", -SIGTERM, run.stop())
    after = run.lines[5:12]
    check("unplugged: lines", STARTUP + [line(1), line(2)], run.lines[:5])
    # The read in flight at the unplug may still have been answered.
    if after and after[0] == line(2):
        after = after[1:] + run.lines[12:13]
    check("unplugged: failures", [FAILED] * 6, after[:6])
    # A lower bound only: six failures take at least five poll periods.
    span = run.arrivals[11] - unplugged_at
    check("unplugged: failures at the poll period (%.2f s)" % span, True,
          span >= 0.5)


# Several chips at once: which index opens which, as libusb lists them
# (by sysfs path, last first, compared as text).
def several_chips():
    bed = Bed()
    places = [(1, "2"), (2, "1"), (1, "10"), (1, "3")]
    for bus, port in places:
        bed.add("FT232R", serial="P%d%s" % (bus, port), bus=bus, port=port,
                channels=[Channel(pins=[bus * 16 + int(port)])])
    for index, byte in enumerate([0x21, 0x13, 0x12, 0x1A]):
        run = bed.start([PINMON, str(index)])
        run.wait_for_lines(4)
        run.stop()
        check("several chips: index %d" % index, line(byte), run.lines[3:4] and
              run.lines[3])
    run = bed.start([PINMON, "4"])
    check("several chips: index 4", 255, run.finish())


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


def memcheck_summary(log):
    """Errors, and the leaks that no pointer reaches any more, from a log;
    a heap freed to the last block reports no leak lines at all."""
    summary = {"ERROR SUMMARY": None, "definitely lost": 0,
               "indirectly lost": 0}
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
    suppressions = os.path.join(os.path.dirname(__file__), "umockdev.supp")
    with tempfile.TemporaryDirectory() as scratch:
        os.chmod(scratch, 0o777)
        log = os.path.join(scratch, "valgrind.log")
        memcheck = ["valgrind", "--leak-check=full", "--log-file=" + log,
                    "--errors-for-leak-kinds=definite,indirect",
                    "--show-leak-kinds=definite,indirect",
                    "--suppressions=" + suppressions]
        for name, status in failed_startups(memcheck):
            check("memcheck, %s: status" % name, 255, status)
            check("memcheck, " + name, clean, memcheck_summary(log))
        bed = Bed()
        bed.add("FT4232H", serial="M1",
                channels=[Channel(pins=[0x01, STALL, 0xFF])] +
                [Channel() for _ in range(3)])
        run = bed.start(memcheck + [PINMON])
        run.wait_for_lines(7, limit=120)
        run.stop()
        check("memcheck, polling: lines", STARTUP + lines_for(
            [0x01, STALL, 0xFF, 0xFF]), run.lines[:7])
        # Ended by a signal, memcheck still reports; the leak kinds that
        # matter are those no pointer reaches any more.
        check("memcheck, polling", clean, memcheck_summary(log))


if MEMCHECK:
    memcheck_runs()
else:
    each_chip_alone()
    list(failed_startups())
    kernel_driver_not_bound()
    read_never_answered()
    unplug_mid_run()
    several_chips()
    failed_read_leaves_byte()
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)

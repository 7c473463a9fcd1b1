# SPDX-License-Identifier: MIT
"""The real pinmon on an emulated FT232R, side by side with a minimal C
loop on libftdi1 and the same loop in Python over libftdi1's binding:
instructions and system calls per pass, peak memory and the time to the
first report line. Asserts nothing. Runs under umockdev-wrapper.

usage: bench/chips.py PINMON FTDI_LOOP
"""
import os
import re
import shutil
import signal
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests",
                                "usb"))
from ftdi_chips import Bed, Channel, leave  # noqa: E402

SHORT, LONG = 10, 30  # passes; their difference cancels start-up


def run_on_chip(command, passes, startup_lines):
    """Runs command on a fresh emulated FT232R until it has printed
    `passes` report lines; returns the run and its peak RSS in KiB."""
    bed = Bed()
    bed.add("FT232R", serial="BENCH1", channels=[Channel(pins=[0xA5])])
    run = bed.start(command)
    run.wait_for_lines(startup_lines + passes, limit=300)
    with open("/proc/%d/status" % run.process.pid) as status:
        peak = [int(field.split()[1]) for field in status
                if field.startswith("VmHWM:")]
    # strace outlives a signal of its own: end the program it traces.
    pid = run.process.pid
    with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
        for child in children.read().split():
            os.kill(int(child), signal.SIGTERM)
    run.stop()
    return run, peak[0] if peak else 0


def per_pass(measure, command, startup_lines):
    """A figure for one pass, from two run lengths, and what is left of it
    for start-up."""
    figures = {}
    for passes in (SHORT, LONG):
        total, made = measure(command, passes, startup_lines)
        figures[passes] = total, made
    (short, short_passes), (long, long_passes) = figures[SHORT], figures[LONG]
    each = (long - short) / (long_passes - short_passes)
    return each, short - short_passes * each


def instructions(command, passes, startup_lines, scratch):
    out = os.path.join(scratch, "callgrind.out")
    run, _ = run_on_chip(["valgrind", "--tool=callgrind",
                          "--callgrind-out-file=" + out, *command], passes,
                         startup_lines)
    with open(out) as profile:
        totals = [int(line.split()[1]) for line in profile
                  if line.startswith("totals:")]
    return totals[0], len(run.lines) - startup_lines


def system_calls(command, passes, startup_lines, scratch):
    out = os.path.join(scratch, "strace.out")
    run, _ = run_on_chip(["strace", "-f", "-c", "-o", out, *command], passes,
                         startup_lines)
    with open(out) as summary:
        total = [line for line in summary if line.rstrip().endswith("total")]
    calls = re.split(r"\s+", total[-1].strip())[3]
    return int(calls), len(run.lines) - startup_lines


def main(scratch):
    pinmon, ftdi_loop = sys.argv[1:3]
    python_loop = os.path.join(os.path.dirname(__file__), "ftdi_loop.py")
    programs = [("pinmon", [pinmon], 3), ("C loop", [ftdi_loop], 0),
                ("Python loop", ["/usr/bin/python3", python_loop], 0)]
    figures = {}
    for name, command, startup_lines in programs:
        run, peak = run_on_chip(command, 5, startup_lines)
        first = run.arrivals[startup_lines] - run.started
        instr, instr_startup = per_pass(
            lambda *a: instructions(*a, scratch), command, startup_lines)
        calls, calls_startup = per_pass(
            lambda *a: system_calls(*a, scratch), command, startup_lines)
        figures[name] = [instr, instr_startup, calls, calls_startup,
                         peak / 1024, first * 1000]

    names = [name for name, _, _ in programs]
    print("On an emulated FT232R (umockdev), callgrind and strace over %d and "
          "%d passes\n" % (SHORT, LONG))
    print("%-30s" % "" + "".join("%14s" % name for name in names) +
          "  ratios to pinmon")
    rows = ["instructions per pass", "start-up, instructions",
            "system calls per pass", "start-up, system calls",
            "peak resident memory, MiB", "to first report line, ms"]
    for index, label in enumerate(rows):
        values = [figures[name][index] for name in names]
        digits = 1 if index >= 4 else 0
        cells = "".join("%14.*f" % (digits, value) for value in values)
        ratios = " ".join("%.2f" % (value / values[0]) if values[0] else "-"
                          for value in values[1:])
        print("%-30s%s  %s" % (label, cells, ratios))


if __name__ == "__main__":
    scratch = tempfile.mkdtemp(prefix="pinmon-bench-")
    status = 0
    try:
        main(scratch)
    except BaseException:
        traceback.print_exc()
        status = 1
    shutil.rmtree(scratch, True)
    # leave() removes the testbeds too, which Python may never finalize.
    leave(status)

#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""pinmon-vcd's cost per input line beside cat's on the same input:
instructions (callgrind over two input lengths, so that start-up cancels
out) and peak resident memory; then the peak on 64 MB without a newline,
and what pinmon-vcd says of it. Asserts nothing.

usage: bench/vcd.py PINMON_VCD
"""
import os
import re
import subprocess
import sys
import tempfile
import time

LENGTHS = (20000, 100000)


def report_line(byte):
    return "Readed: %x : %s" % (byte, format(byte, "08b"))


def capture(lines):
    """The monitor's output: start-up, then readings that change, repeat
    and fail, as a long capture would."""
    text = ["FTDI Bit Bang mode", "Device 0 opened", "BitBang mode On"]
    for n in range(lines):
        if n % 50 == 49:
            text.append("Failed to read pins")
        else:
            text.append(report_line((n // 3 * 37) % 256))
    return "\n".join(text) + "\n"


def instructions(command, path):
    with open(path) as stdin:
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
            + command, stdin=stdin, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def peak_kib(command, path):
    """The program's own peak (VmHWM of its image, not of the Python that
    forked it), read once it has taken the whole input and waits for more."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL)
    with open(path, "rb") as file:
        process.stdin.write(file.read())
    process.stdin.flush()
    time.sleep(0.5)
    with open("/proc/%d/status" % process.pid) as status:
        peak = next(int(field.split()[1]) for field in status
                    if field.startswith("VmHWM:"))
    process.stdin.close()
    process.wait()
    return peak


def hostile_peak(command, path):
    """Peak resident memory (KiB) by GNU time, whose own fork is small, so
    that a program that ends early is measured too; and standard error."""
    with open(path, "rb") as stdin:
        result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command,
                                stdin=stdin, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, check=False)
    *said, peak = result.stderr.decode(errors="replace").splitlines()
    return int(peak), result.returncode, "\n".join(said)


def main():
    programs = {"pinmon-vcd": [sys.argv[1], "--period", "100"],
                "cat": ["cat"]}
    with tempfile.TemporaryDirectory() as scratch:
        inputs = []
        for lines in LENGTHS:
            path = os.path.join(scratch, "capture-%d.txt" % lines)
            with open(path, "w") as file:
                file.write(capture(lines))
            inputs.append(path)
        figures = {}
        for name, command in programs.items():
            counts = [instructions(command, path) for path in inputs]
            per_line = (counts[1] - counts[0]) / (LENGTHS[1] - LENGTHS[0])
            figures[name] = (per_line, peak_kib(command, inputs[1]))
    print("pinmon-vcd against cat, on a capture of %d and %d lines" % LENGTHS)
    print("%-12s %22s %18s" % ("", "instructions a line", "peak RSS (KiB)"))
    for name, (per_line, peak) in figures.items():
        print("%-12s %22.1f %18d" % (name, per_line, peak))
    print("%-12s %22s %18.2f" % ("ratio", "%.0f" % (
        figures["pinmon-vcd"][0] / max(figures["cat"][0], 0.1)),
        figures["pinmon-vcd"][1] / figures["cat"][1]))
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "zeros")
        with open(path, "wb") as file:
            file.truncate(64 * 1000 * 1000)
        print("\n64 MB of zeros, no newline")
        print("%-12s %18s %8s  %s" % ("", "peak RSS (KiB)", "status",
                                      "standard error"))
        for name, command in programs.items():
            peak, status, said = hostile_peak(command, path)
            print("%-12s %18d %8d  %d bytes: %s" % (
                name, peak, status, len(said), said[:100]))


if __name__ == "__main__":
    main()

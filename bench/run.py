#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs pinmon-sim and a minimal C loop side by side and prints the figures:
the period between lines, the instructions of one pass, peak memory and the
cost of starting up. Asserts nothing.

usage: bench/run.py PINMON_SIM C_LOOP [SECONDS]
"""
import atexit
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

STARTUP_LINES = {"pinmon-sim": 3, "C loop": 0}


def line_times(command, seconds, env=None):
    """Runs command for about `seconds`; returns the monotonic time of each
    line's arrival, the spawn time and peak RSS in KiB."""
    started = time.monotonic_ns()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, env=env)
    arrivals = []

    def reader():
        for _ in process.stdout:
            arrivals.append(time.monotonic_ns())

    thread = threading.Thread(target=reader)
    thread.start()
    time.sleep(seconds)
    peak_kib = peak_rss_kib(process.pid)
    process.send_signal(signal.SIGTERM)
    process.wait()
    thread.join()
    return started, arrivals, peak_kib


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for field in status:
            if field.startswith("VmHWM:"):
                return int(field.split()[1])
    return 0


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def call_log_periods(path):
    with open(path) as log:
        reads = [int(line.split()[3]) for line in log if line.startswith("read ")]
    return [b - a for a, b in zip(reads, reads[1:])]


def callgrind_total(command, passes, startup_lines, out_file):
    """Instructions of a run stopped after `passes` report lines, and the
    number of passes it really made."""
    process = subprocess.Popen(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
         *command],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    count = 0
    for _ in process.stdout:
        count += 1
        if count == startup_lines + passes:
            break
    process.send_signal(signal.SIGTERM)
    count += len(process.stdout.readlines())
    process.wait()
    with open(out_file) as profile:
        for line in profile:
            if line.startswith("totals:"):
                return int(line.split()[1]), count - startup_lines
    raise RuntimeError("no totals in " + out_file)


def row(name, ours, baseline, unit, digits=3):
    ratio = ours / baseline if baseline else float("nan")
    print(f"{name:<34}{ours:>14.{digits}f}{baseline:>14.{digits}f}  {unit:<6}{ratio:>8.3f}")


def main():
    pinmon, c_loop = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
    scratch = tempfile.mkdtemp(prefix="pinmon-bench-")
    atexit.register(shutil.rmtree, scratch, True)
    log = os.path.join(scratch, "calls.log")
    env = dict(os.environ, PINMON_SIM_LOG=log)
    env.pop("PINMON_SIM", None)

    # Both at once, so that both see the same machine.
    results = {}
    threads = [
        threading.Thread(target=lambda: results.__setitem__(
            "pinmon-sim", line_times([pinmon], seconds, env))),
        threading.Thread(target=lambda: results.__setitem__(
            "C loop", line_times([c_loop], seconds))),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    figures = {}
    for name, (started, arrivals, peak_kib) in results.items():
        reports = arrivals[STARTUP_LINES[name]:]
        periods = [(b - a) / 1e6 for a, b in zip(reports, reports[1:])]
        figures[name] = {
            "mean": statistics.mean(periods),
            "median": statistics.median(periods),
            "p99": percentile(periods, 0.99),
            "passes": len(reports),
            "rss": peak_kib / 1024,
            "first": (reports[0] - started) / 1e6,
        }
    read_periods = [p / 1e6 for p in call_log_periods(log)]

    short, long = 10, 30
    for name, command in (("pinmon-sim", [pinmon]), ("C loop", [c_loop])):
        out = os.path.join(scratch, "callgrind.out")
        total_short, passes_short = callgrind_total(
            command, short, STARTUP_LINES[name], out)
        total_long, passes_long = callgrind_total(
            command, long, STARTUP_LINES[name], out)
        per_pass = (total_long - total_short) / (passes_long - passes_short)
        figures[name]["per_pass"] = per_pass
        figures[name]["startup_instr"] = total_short - passes_short * per_pass

    ours, base = figures["pinmon-sim"], figures["C loop"]
    print(f"{ours['passes']} and {base['passes']} passes in {seconds:g} s; "
          f"callgrind over {short} and {long} passes\n")
    print(f"{'':<34}{'pinmon-sim':>14}{'C loop':>14}  {'unit':<6}{'ratio':>8}")
    row("period between lines, mean", ours["mean"], base["mean"], "ms")
    row("period between lines, median", ours["median"], base["median"], "ms")
    row("period between lines, p99", ours["p99"], base["p99"], "ms")
    row("instructions per pass", ours["per_pass"], base["per_pass"], "instr", 0)
    row("peak resident memory", ours["rss"], base["rss"], "MiB")
    row("start-up, instructions", ours["startup_instr"], base["startup_instr"],
        "instr", 0)
    row("start-up, to first report line", ours["first"], base["first"], "ms")
    print()
    print(f"pinmon-sim reads, from its call log: mean "
          f"{statistics.mean(read_periods):.3f} ms, median "
          f"{statistics.median(read_periods):.3f} ms, p99 "
          f"{percentile(read_periods, 0.99):.3f} ms over {len(read_periods)} periods")
    print(f"mean period beyond 100 ms: pinmon-sim {ours['mean'] - 100:.3f} ms, "
          f"C loop {base['mean'] - 100:.3f} ms")


if __name__ == "__main__":
    main()

# SPDX-License-Identifier: MIT
# The real pinmon on Debian's own Linux kernel, in a QEMU virtual machine:
# its xHCI driver, usbfs, udev and ftdi_sio, with QEMU's FTDI chip model
# (which refuses bit-bang mode) and an FT232R made with FunctionFS on
# dummy_hcd (which reads). The host drives a shell on the guest's second
# serial port; each case is a row of guest commands and what they print.
#   usage: on_kernel.py GUEST_DIR
# Exits 77 when QEMU cannot start a guest at all.

import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

GUEST = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
SKIPPED = 77
STARTUP = "FTDI Bit Bang mode\nDevice %d opened\n"
REFUSED = "FTDI Bit Bang mode\nCan't open device %d\nstatus 255\n"
READING = re.compile(r"^Readed: ([0-9a-f]{1,2}) : [01]{8}$")
FAILED = "Failed to read pins"

passed = failed = 0


def check(name, expected, actual):
    global passed, failed
    if expected == actual:
        passed += 1
    else:
        failed += 1
        print("FAIL: %s\n--- expected\n%s\n--- actual\n%s\n---" %
              (name, expected, actual))


class GuestStuck(Exception):
    pass


class Guest:
    """A QEMU virtual machine, its shell and its monitor."""

    def __init__(self, work):
        self.work = work
        self.console = os.path.join(work, "console.log")
        shell, monitor = (os.path.join(work, name) for name in
                          ("shell.sock", "monitor.sock"))
        chips = []
        for port in (1, 2):
            chips += ["-chardev", "null,id=line%d" % port, "-device",
                      self.chip(port)]
        accel = "kvm" if os.access("/dev/kvm", os.R_OK | os.W_OK) else "tcg"
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-nodefaults", "-display", "none",
             "-no-reboot", "-machine", "q35", "-accel", accel, "-m", "512",
             "-smp", "2", "-kernel", os.path.join(GUEST, "vmlinuz"),
             "-initrd", os.path.join(GUEST, "initrd.gz"), "-append",
             "console=ttyS0 panic=-1 loglevel=6",
             "-serial", "file:" + self.console,
             "-chardev", "socket,id=shell,path=%s,server=on,wait=off" % shell,
             "-serial", "chardev:shell",
             "-monitor", "unix:%s,server=on,wait=off" % monitor,
             "-device", "qemu-xhci,id=xhci", *chips],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)
        self.shell = self.connect(shell)
        self.monitor_socket = self.connect(monitor)
        self.pending = b""
        self.commands = 0
        self.read_monitor()

    @staticmethod
    def chip(port):
        """QEMU's FTDI chip; both have one serial number, as twins do."""
        return ("usb-serial,id=chip%d,chardev=line%d,serial=TWIN,"
                "always-plugged=on,bus=xhci.0,port=%d" % (port, port, port))

    def connect(self, path):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise OSError("QEMU ended: " +
                              self.process.stdout.read().decode().strip())
            try:
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                sock.connect(path)
                return sock
            except OSError:
                time.sleep(0.05)
        raise OSError("QEMU made no socket " + path)

    def wait_ready(self, limit=600):
        """Until the guest's shell says it reads; False if it never does."""
        return self.read_until(b"shell ready\n", limit) is not None

    def console_text(self):
        with open(self.console, errors="replace") as file:
            return file.read()

    def run(self, command, limit=600):
        """Runs a command in the guest's shell and returns what it printed.
        The limit only keeps a guest that hangs from hanging the suite:
        then the commands after it would read its output, so the run
        ends there."""
        self.commands += 1
        marker = "@@%d@@" % self.commands
        self.shell.sendall(("%s\necho %s\n" % (command, marker)).encode())
        output = self.read_until(marker.encode() + b"\n", limit)
        if output is None:
            raise GuestStuck("no answer in %d s to: %s\n%s" % (
                limit, command, self.pending.decode(errors="replace")))
        return output

    def read_until(self, end, limit):
        """What the shell prints before end; None if end does not come in
        time."""
        deadline = time.monotonic() + limit
        while end not in self.pending:
            self.shell.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = self.shell.recv(65536)
            except socket.timeout:
                return None
            if not chunk:
                return None
            self.pending += chunk
        output, _, self.pending = self.pending.partition(end)
        return output.decode(errors="replace")

    def read_monitor(self):
        text = b""
        self.monitor_socket.settimeout(30)
        while not text.endswith(b"(qemu) "):
            chunk = self.monitor_socket.recv(4096)
            if not chunk:
                break
            text += chunk
        return text.decode(errors="replace")

    def monitor(self, command):
        self.monitor_socket.sendall((command + "\n").encode())
        return self.read_monitor()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def ttys(guest):
    """The serial port of each chip, by port path, as the guest has them."""
    names = guest.run("for port in 1-1 1-2 3-1 4-1; do tty_of $port; done")
    return dict(zip(("t11", "t12", "t31", "t41"), (names or "").split()))


def listing_rows(access):
    return ("INDEX CHIP CHANNEL PORT SERIAL HOLDER ACCESS PRODUCT\n"
            "0 FT232BM - 1-1 TWIN {t11} %s QEMU USB SERIAL\n"
            "1 FT232BM - 1-2 TWIN {t12} %s QEMU USB SERIAL\n"
            "2 FT232R - 3-1 FFS1 {t31} %s FT232R USB UART\n"
            "3 FT232R - 4-1 FFS1 {t41} %s FT232R USB UART\n") % ((access,) * 4)


# QEMU's chips at 1-1 and 1-2 (indexes 0 and 1), the FunctionFS chips at
# 3-1 and 4-1 (indexes 2 and 3); each pair has one serial number. Each row: name, QEMU monitor commands first, guest commands,
# what they print, with each chip's serial port as it was before the row.
STATUS = '; echo "status $?"'
ROWS = [
    ("the listing", [], "listing pinmon-list", listing_rows("yes")),
    ("the listing as another user", [], "listing as_nobody pinmon-list",
     listing_rows("no")),
    ("index past the last channel", [], "pinmon 4" + STATUS, REFUSED % 4),
    ("bit mode refused, the port given back under its name", [],
     "pinmon 0" + STATUS + "; tty_of 1-1",
     STARTUP % 0 + "Failed to set bitbang mode\nstatus 255\n{t11}\n"),
    ("twins told apart by their port", [],
     "pinmon-list --serial TWIN --index" + STATUS +
     "; pinmon-list --serial TWIN --port 1-2 --index",
     "pinmon-list: 2 channels have serial number TWIN; add --port\n"
     "status 1\n1\n"),
    ("pinmon 1 touches only its own chip", [],
     "hold {t11} flock; pinmon 1" + STATUS + "; release; tty_of 1-1; "
     "tty_of 1-2", STARTUP % 1 + "Failed to set bitbang mode\nstatus 255\n"
     "port works\n{t11}\n{t12}\n"),
    # A program has the serial port open: root sees its open file; any
    # user sees its flock or its UUCP lock file. (The chips' nodes are
    # opened to every user, as the udev rule opens them to a user.)
    ("the listing names the program that has the port open", [],
     "hold {t11} flock; listing pinmon-list --port 1-1 | tail -n 1 | "
     "sed \"s/\\[$holder\\]/[PID]/\"; listing as_nobody pinmon-list "
     "--port 1-1 | tail -n 1 | sed \"s/\\[$holder\\]/[PID]/\"; release",
     ("0 FT232BM - 1-1 TWIN {t11}:tty_holder[PID] %s QEMU USB SERIAL\n" * 2
      ) % ("yes", "no") + "port works\n"),
    ("the port open in a program", [],
     "hold {t11} open; pinmon 0" + STATUS + "; release; tty_of 1-1",
     REFUSED % 0 + "port works\n{t11}\n"),
    ("the port flock'ed, seen by another user", [],
     "chmod 666 /dev/bus/usb/001/*; hold {t11} flock; as_nobody pinmon 0" +
     STATUS + "; release; tty_of 1-1", REFUSED % 0 + "port works\n{t11}\n"),
    ("a UUCP lock file, seen by another user", [],
     "hold {t11} uucp; as_nobody pinmon 0" + STATUS + "; release; "
     "tty_of 1-1", REFUSED % 0 + "port works\n{t11}\n"),
    ("a stale UUCP lock file does not count", [],
     "printf '%10d\\n' 999999 >/run/lock/LCK..{t11}; as_nobody pinmon 0" +
     STATUS + "; rm /run/lock/LCK..{t11}; tty_of 1-1",
     STARTUP % 0 + "Failed to set bitbang mode\nstatus 255\n{t11}\n"),
]

# Last, as they leave a serial port under another name: the kernel gives a
# driver bound again the lowest free name, and the names above count on
# none being free below theirs.
LAST_ROWS = [
    # The limit the manual gives: another user's program that takes no
    # lock is invisible, and the kernel detaches the driver under it.
    ("the limit: another user's program without a lock", [],
     "hold {t11} open; as_nobody pinmon 0" + STATUS + "; release; "
     "[ \"$(tty_of 1-1)\" != {t11} ] && echo renamed",
     STARTUP % 0 + "Failed to set bitbang mode\nstatus 255\n"
     "port failed: Input/output error\nrenamed\n"),
    ("unplugged: the listing without it", ["device_del chip2"],
     "wait_gone 1-2; listing pinmon-list | cut -d ' ' -f 1,4",
     "INDEX PORT\n0 1-1\n1 3-1\n2 4-1\n"),
    ("plugged back: the same index", ["device_add " + Guest.chip(2)],
     "wait_tty 1-2; pinmon-list --serial TWIN --port 1-2 --index", "1\n"),
]


def rows(guest, table):
    for name, monitor_commands, command, expected in table:
        names = ttys(guest)
        for monitor_command in monitor_commands:
            answer = guest.monitor(monitor_command)
            check(name + ": " + monitor_command, "",
                  answer.split("\n", 1)[-1].replace("(qemu) ", "").strip())
        check(name, expected.format(**names),
              guest.run(command.format(**names)))


def readings(text):
    """The report lines after the start-up, as byte values or None for a
    failure; anything else is returned as it is."""
    values = []
    for entry in text.splitlines()[3:]:
        match = READING.match(entry)
        values.append(int(match.group(1), 16) if match else
                      None if entry == FAILED else entry)
    return values


# The FunctionFS chip, whose every fifth read stalls: readings that count
# up, failures where the reads stall, an unplug and a replug while pinmon
# reads, and the port given back under its name after each.
def reading_loop(guest):
    names = ttys(guest)
    output = guest.run(
        "start_monitor 2; wait_lines 12; kill -INT $monitor;"
        " ended $monitor; wait_tty 3-1; tty_of 3-1; cat /tmp/out")
    status, tty, text = (output or "\n\n").split("\n", 2)
    check("readings: ended by SIGINT", "status 130", status)
    check("readings: the port given back under its name", names["t31"], tty)
    check("readings: start-up", STARTUP % 2 + "BitBang mode On",
          "\n".join(text.splitlines()[:3]))
    values = readings(text)
    check("readings: only report lines and failures", [], [
        value for value in values if isinstance(value, str)])
    check("readings: a failure among them", True, None in values)
    check("readings: each reading one more than the one before, but where a "
          "read stalled", [], [
              (a, b) for a, b in zip(values, values[1:])
              if a is not None and b is not None and b != (a + 1) % 256 and
              b != (a + 2) % 256])
    print("ten report lines from the real kernel:\n" +
          "\n".join(text.splitlines()[3:13]))

    output = guest.run(
        "start_monitor 2; wait_lines 8; unplug 3-1; "
        "wait_gone 3-1; wait_lines 14; plug 3-1; wait_after_unplug 6; "
        "kill -TERM $monitor; ended $monitor; wait_tty 3-1; tty_of 3-1; "
        "cat /tmp/out")
    status, tty, text = (output or "\n\n").split("\n", 2)
    check("unplug and replug: ended by SIGTERM", "status 143", status)
    check("unplug and replug: the port given back under its name",
          names["t31"], tty)
    values = readings(text)
    check("unplug and replug: only report lines and failures", [], [
        value for value in values if isinstance(value, str)])
    # After the unplug's run of failures, readings again; a single failure
    # among them is a stalled read.
    runs = "".join("F" if v is None else "r" for v in values)
    unplugged = re.search(r".*FFF", runs)
    check("unplug and replug: failures while unplugged, then readings",
          True, unplugged is not None and
          runs[unplugged.end():].count("r") >= 5)
    print("across an unplug and replug on the real kernel:\n" +
          "\n".join(text.splitlines()[3:]))

    # Its twin, with the same serial number, unplugged and plugged back
    # while pinmon reads it: the chip at 3-1 is never taken meanwhile.
    output = guest.run(
        "start_monitor 3; wait_lines 6; unplug 4-1; "
        "wait_gone 4-1; wait_lines 14; tty_of 3-1; driver_of 3-1; plug 4-1;"
        " wait_after_unplug 4; kill -TERM $monitor; ended $monitor; "
        "wait_tty 4-1; tty_of 4-1; readings_since_unplug")
    check("a twin unplugged and back: the other left alone, read again, "
          "given back", "%s\nftdi_sio\nstatus 143\n%s\n" % (
              names["t31"], names["t41"]), "\n".join(
                  (output or "").splitlines()[:4]) + "\n")
    check("a twin unplugged and back: read again", True,
          int(((output or "").splitlines() or ["0"])[-1]) >= 4)


# Every signal that ends pinmon, sent at a random moment while it reads,
# and SIGTERM and SIGINT several times over: the process ends by it, and
# the serial driver is back on the channel under the same name.
ENDING_SIGNALS = [getattr(signal, "SIG" + name) for name in (
    "HUP", "INT", "QUIT", "PIPE", "ALRM", "TERM", "USR1", "USR2", "PROF",
    "VTALRM", "XCPU", "XFSZ", "IO", "PWR", "STKFLT")] + list(
        range(signal.SIGRTMIN, signal.SIGRTMAX + 1)) + [
            signal.SIGTERM, signal.SIGINT] * 4


def endings(guest):
    names = ttys(guest)
    rng = random.Random(os.environ.get("PINMON_SEED", time.time_ns()))
    outcomes = []
    for number in ENDING_SIGNALS:
        delay = rng.randint(200000, 800000)
        output = guest.run(
            "pinmon 2 >/dev/null & monitor=$!; usleep %d; kill -%d $monitor;"
            " ended $monitor; wait_tty 3-1; tty_of 3-1; driver_of 3-1" %
            (delay, number))
        outcomes.append(number)
        check("signal %d after %d ms: ended by it, the driver back under the "
              "port's name" % (number, delay // 1000),
              "status %d\n%s\nftdi_sio\n" % (128 + number, names["t31"]),
              output)
    print("%d signals sent at random moments (0.2 to 0.8 s after the start)"
          % len(outcomes))


def main():
    work = tempfile.mkdtemp(prefix="run-", dir=GUEST)
    guest = None
    try:
        try:
            guest = Guest(work)
        except OSError as error:
            print("SKIPPED: the real kernel: QEMU cannot start: %s" % error)
            return SKIPPED
        started = time.monotonic()
        if not guest.wait_ready():
            print("FAIL: the guest never answered; its console:\n" +
                  guest.console_text()[-3000:])
            return 1
        version = next((entry for entry in guest.console_text().splitlines()
                        if "Linux version" in entry), "?")
        print("guest kernel: %s" % version.split("] ", 1)[-1])
        print("ready after %.1f s" % (time.monotonic() - started))
        guest.run(". /etc/guest.sh; ffs_up 0 FFS1 5; ffs_up 1 FFS1 0; "
                  "for port in 1-1 1-2 3-1 4-1; do wait_tty $port; done")
        print(guest.run("listing pinmon-list"), end="")
        try:
            rows(guest, ROWS)
            reading_loop(guest)
            endings(guest)
            rows(guest, LAST_ROWS)
        except GuestStuck as error:
            check("the guest answers", "", str(error))
            print("its console:\n" + guest.console_text()[-6000:])
        print("the guest ran for %.1f s" % (time.monotonic() - started))
    finally:
        if guest:
            guest.stop()
        shutil.rmtree(work, True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

# SPDX-License-Identifier: MIT
# Emulated FTDI chips at the kernel's usbfs level, for tests of the real
# pinmon through the real libusb and libftdi1. A umockdev testbed holds the
# chips' sysfs entries and udev properties; a handler on each /dev/bus/usb
# node answers the ioctls that libusb sends, URBs included.
#
# The test process must itself run under umockdev's preload library
# (umockdev-wrapper) so that uevents reach the program under test.

import errno
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402

# name: product id, bcdDevice, channels, speed (Mbit/s), bulk packet size
KINDS = {
    "FT232R": (0x6001, 0x0600, 1, 12, 64),
    "FT2232H": (0x6010, 0x0700, 2, 480, 512),
    "FT4232H": (0x6011, 0x0800, 4, 480, 512),
    "FT232H": (0x6014, 0x0900, 1, 480, 512),
    "FT230X": (0x6015, 0x1000, 1, 12, 64),
}

# Scripted answers to a read-pins request besides a byte.
STALL = "stall"  # the request fails at once (EPIPE)
HANG = "hang"  # the request is never answered


def late(byte, seconds):
    """A read-pins request answered with byte only after that long."""
    return ("late", byte, seconds)


def _ioc(direction, number, size):
    return (direction << 30) | (size << 16) | (ord("U") << 8) | number


_W, _R = 1, 2
GETDRIVER = _ioc(_W, 8, 260)
SUBMITURB = _ioc(_R, 10, 56)
DISCARDURB = _ioc(0, 11, 0)
REAPURB = _ioc(_W, 12, 8)
REAPURBNDELAY = _ioc(_W, 13, 8)
CLAIMINTERFACE = _ioc(_R, 15, 4)
RELEASEINTERFACE = _ioc(_R, 16, 4)
IOCTL = _ioc(_R | _W, 18, 16)
DISCONNECT = _ioc(0, 22, 0)
CONNECT = _ioc(0, 23, 0)
GET_CAPABILITIES = _ioc(_R, 26, 4)
CAP_REAP_AFTER_DISCONNECT = 0x10

RESET, SET_BITMODE, READ_PINS = 0x00, 0x0B, 0x0C


def _descriptors(product, bcd_device, channels, packet_size):
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, 0x0403,
                         product, bcd_device, 1, 2, 3, 1)
    interfaces = b""
    for number in range(channels):
        interfaces += struct.pack("<BBBBBBBBB", 9, 4, number, 0, 2, 0xFF, 0xFF,
                                  0xFF, 2)
        interfaces += struct.pack("<BBBBHB", 7, 5, 0x81 + 2 * number, 2,
                                  packet_size, 0)
        interfaces += struct.pack("<BBBBHB", 7, 5, 0x02 + 2 * number, 2,
                                  packet_size, 0)
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(interfaces), channels, 1,
                         0, 0x80, 45)
    return device + config + interfaces


def _contents(data):
    # The data field reads as a C string through GObject introspection;
    # retrieve() gives every byte.
    return bytes(data.retrieve())


class Channel:
    """One interface of a chip: what its requests answer, and who has it."""

    def __init__(self, pins=(0xFF,), mode=0, driver="ftdi_sio", busy=False,
                 tty=None, reset=0):
        self.pins = list(pins)  # bytes, STALL, HANG or late(); the last repeats
        self.mode_stalls = mode == STALL
        self.reset_stalls = reset == STALL  # the reset that opening sends
        self.driver = driver  # the kernel driver bound, or None
        self.tty = tty  # the serial port the driver makes; the bed numbers it
        self.busy = busy  # another program has claimed it
        self.tty_users = []  # processes that have its serial port open
        self.port_lost = False  # detached under one of them
        self.reads = 0
        self.claimed = False  # by the client that claimed_by names
        self.claimed_by = None

    def holding(self):
        return any(run.process.poll() is None for run in self.tty_users)

    def next_pins(self):
        answer = self.pins[min(self.reads, len(self.pins) - 1)]
        self.reads += 1
        return answer


class Chip:
    def __init__(self, bed, kind, serial, bus, port, devnum, channels=None,
                 refused=False, hub=None, product_string=None):
        product, bcd_device, count, self.speed, packet = KINDS[kind]
        self.bed, self.kind, self.serial = bed, kind, serial
        self.product_string = product_string or kind
        self.bus, self.port, self.devnum = bus, port, devnum
        self.product, self.bcd_device = product, bcd_device
        self.channels = channels or [Channel() for _ in range(count)]
        assert len(self.channels) == count, kind + " channels"
        for channel in self.channels:
            channel.tty = channel.tty or bed.next_tty()
        self.descriptors = _descriptors(product, bcd_device, count, packet)
        self.refused, self.hub = refused, hub
        self.log = []  # (what, ...) in the order it happened
        self.syspath = None
        self._plug()

    @property
    def devnode(self):
        return "/dev/bus/usb/%03d/%03d" % (self.bus, self.devnum)

    def _plug(self):
        bed = self.bed.testbed
        name = "%d-%s" % (self.bus, self.port)
        attributes = {
            "busnum": str(self.bus), "devnum": str(self.devnum),
            "devpath": self.port, "speed": str(self.speed),
            "idVendor": "0403", "idProduct": "%04x" % self.product,
            "bcdDevice": "%04x" % self.bcd_device,
            "bConfigurationValue": "1",
            "bNumInterfaces": "%2d" % len(self.channels),
            "manufacturer": "FTDI", "product": self.product_string,
        }
        if self.serial:
            attributes["serial"] = self.serial
        properties = {
            "DEVNAME": self.devnode, "DEVTYPE": "usb_device",
            "SUBSYSTEM": "usb", "BUSNUM": "%03d" % self.bus,
            "DEVNUM": "%03d" % self.devnum, "MAJOR": "189",
            "MINOR": str((self.bus - 1) * 128 + self.devnum - 1),
            "PRODUCT": "403/%x/%x" % (self.product, self.bcd_device),
        }
        self.syspath = bed.add_device(
            "usb", name, self.hub, [s for kv in attributes.items() for s in kv],
            [s for kv in properties.items() for s in kv])
        bed.set_attribute_binary(self.syspath, "descriptors", self.descriptors)
        node = self.bed.root + self.devnode
        os.makedirs(os.path.dirname(node), exist_ok=True)
        with open(node, "wb") as file:
            file.write(self.descriptors)
        # Refused: root's alone, for a program run as nobody.
        os.chmod(node, 0o644 if self.refused else 0o666)
        self.node = Node(self)
        bed.attach_ioctl(self.devnode, self.node)
        self.show_holders()

    def show_holders(self):
        """Each interface's directory in sysfs shows what holds it, as the
        kernel's does: a driver link, and the tty the serial driver made."""
        for number, channel in enumerate(self.channels):
            folder = "%s%s/%d-%s:1.%d" % (self.bed.root, self.syspath,
                                          self.bus, self.port, number)
            os.makedirs(folder, exist_ok=True)
            for entry in os.listdir(folder):
                if entry.startswith("ttyUSB"):
                    os.rmdir(os.path.join(folder, entry))
            if os.path.lexists(folder + "/driver"):
                os.unlink(folder + "/driver")
            driver = "usbfs" if channel.busy or channel.claimed else (
                channel.driver)
            if driver:
                os.symlink("../../../bus/usb/drivers/" + driver,
                           folder + "/driver")
            if driver == "ftdi_sio":
                os.mkdir(os.path.join(folder, channel.tty))
            # The serial port's node is there while the driver is bound.
            node = os.path.join(self.bed.root, "dev", channel.tty)
            if driver == "ftdi_sio" and not os.path.exists(node):
                open(node, "w").close()
            elif driver != "ftdi_sio" and os.path.exists(node):
                os.unlink(node)

    def unplug(self):
        """Every ioctl fails from now on; udev says remove; the device goes."""
        self.node.gone = True
        self.bed.testbed.uevent(self.syspath, "remove")
        self.bed.testbed.remove_device(self.syspath)
        self.bed.testbed.detach_ioctl(self.devnode)
        os.unlink(self.bed.root + self.devnode)
        self.log.append(("unplug",))

    def plug_back(self, devnum, pins=None, before_add=None):
        """The same chip in the same port, with a new device number; its
        channels serve pins from then on, if given. before_add runs once
        its nodes are there, before udev tells anyone."""
        self.devnum = devnum
        for channel in self.channels:
            channel.claimed = False
            channel.driver = "ftdi_sio"
            if pins is not None:
                channel.pins, channel.reads = list(pins), 0
        self._plug()
        if before_add:
            before_add()
        self.bed.testbed.uevent(self.syspath, "add")
        self.plugged_at = time.monotonic()
        self.log.append(("plug",))

    def controls(self, request=None):
        return [entry[1:] for entry in self.log if entry[0] == "control" and
                (request is None or entry[2] == request)]


class Node(UMockdev.IoctlBase):
    """Answers the usbfs ioctls on one chip's node."""

    def __init__(self, chip):
        super().__init__()
        self.chip = chip
        self.gone = False  # unplugged: a node never comes back
        self.done = []  # URBs ready to be reaped
        self.hanging = []  # URBs never answered, until discarded
        self.late = []  # (when, URB): answered, but not reapable before then
        self.ioctls = 0  # of any kind: a program that only looks sends none

    def do_handle_ioctl(self, client):
        self.ioctls += 1
        request, arg = client.get_request(), client.get_arg()
        size = (request >> 16) & 0x3FFF
        if size:  # the argument points to a struct of that size
            arg = arg.resolve(0, size)
        chip = self.chip
        self._release_closed()
        if self.gone:
            client.complete(-1, errno.ENODEV)
        elif request == GET_CAPABILITIES:
            arg.update(0, struct.pack("<I", CAP_REAP_AFTER_DISCONNECT))
            client.complete(0, 0)
        elif request == GETDRIVER:
            channel = self._channel(struct.unpack_from("<I", _contents(arg))[0])
            driver = "usbfs" if channel and channel.busy else (
                channel and channel.driver)
            if driver:
                arg.update(4, driver.encode() + b"\0")
                client.complete(0, 0)
            else:
                client.complete(-1, errno.ENODATA)
        elif request == IOCTL:
            interface, code = struct.unpack_from("<ii", _contents(arg))
            client.complete(*self._driver_ioctl(interface, code))
        elif request in (CLAIMINTERFACE, RELEASEINTERFACE):
            interface = struct.unpack_from("<I", _contents(arg))[0]
            client.complete(*self._claim(interface, request == CLAIMINTERFACE,
                                         client))
        elif request == SUBMITURB:
            client.complete(*self._submit(arg))
        elif request in (REAPURB, REAPURBNDELAY):
            now = time.monotonic()
            self.done += [urb for when, urb in self.late if when <= now]
            self.late = [(when, urb) for when, urb in self.late if when > now]
            if self.done:
                arg.set_ptr(0, self.done.pop(0))
                client.complete(0, 0)
            else:
                client.complete(-1, errno.EAGAIN)
        elif request == DISCARDURB:
            address = struct.unpack("<Q", _contents(arg))[0]
            self.hanging += [urb for _, urb in self.late]
            self.late = []
            urbs = [urb for urb in self.hanging if urb.client_addr == address]
            if urbs:
                urb = urbs[0]
                self.hanging.remove(urb)
                urb.update(4, struct.pack("<i", -errno.ENOENT))
                self.done.append(urb)
                client.complete(0, 0)
            else:
                client.complete(-1, errno.EINVAL)
        else:
            chip.log.append(("unknown ioctl", hex(request)))
            client.complete(-1, errno.ENOTTY)
        return True

    def _channel(self, interface):
        channels = self.chip.channels
        return channels[interface] if 0 <= interface < len(channels) else None

    def _driver_ioctl(self, interface, code):
        channel = self._channel(interface)
        if channel is None:
            return -1, errno.EINVAL
        if code == DISCONNECT:
            if channel.driver is None or channel.busy:
                return -1, errno.ENODATA
            channel.driver = None
            self.chip.log.append(("detach", interface))
            # The kernel detaches the serial driver under a program that has
            # its port open: that program's port fails from then on.
            if channel.holding():
                channel.port_lost = True
                self.chip.log.append(("port lost", interface))
            self.chip.show_holders()
            return 0, 0
        if code == CONNECT:
            if channel.claimed or channel.busy:
                return -1, errno.EBUSY
            channel.driver = "ftdi_sio"
            # The lost port's name is taken while its program keeps it open.
            if channel.port_lost and channel.holding():
                channel.tty = self.chip.bed.next_tty()
            channel.port_lost = False
            self.chip.log.append(("attach", interface))
            self.chip.show_holders()
            return 0, 0
        return -1, errno.ENOTTY

    def _release_closed(self):
        """What a client claimed is released when its device file closes,
        as the kernel does; umockdev tells that only by the client."""
        for interface, channel in enumerate(self.chip.channels):
            if channel.claimed and not channel.claimed_by.get_connected():
                channel.claimed, channel.claimed_by = False, None
                self.chip.log.append(("release", interface, "at close"))
                self.chip.show_holders()

    def _claim(self, interface, claim, client):
        channel = self._channel(interface)
        if channel is None:
            result = (-1, errno.EINVAL)
        elif claim and (channel.busy or channel.driver):
            result = (-1, errno.EBUSY)
        elif not claim and not channel.claimed:
            result = (-1, errno.EINVAL)
        else:
            channel.claimed = claim
            channel.claimed_by = client if claim else None
            result = (0, 0)
            self.chip.show_holders()
        self.chip.log.append(("claim" if claim else "release", interface,
                              result[1]))
        return result

    def _submit(self, urb):
        kind, endpoint = struct.unpack_from("<BB", _contents(urb))
        length = struct.unpack_from("<i", _contents(urb), 24)[0]
        buffer = urb.resolve(16, length)
        if kind != 2 or length < 8:  # only control transfers come
            self.chip.log.append(("unknown urb", kind, endpoint))
            return -1, errno.EINVAL
        setup = struct.unpack_from("<BBHHH", _contents(buffer))
        status, reply = self._control(*setup)
        if status == HANG:
            self.hanging.append(urb)
        else:
            delay, status = status if isinstance(status, tuple) else (0, status)
            buffer.update(8, reply)
            urb.update(4, struct.pack("<i", status))
            urb.update(28, struct.pack("<i", len(reply)))
            if delay:
                self.late.append((time.monotonic() + delay, urb))
            else:
                self.done.append(urb)
        return 0, 0

    def _control(self, request_type, request, value, index, length):
        """The answer to one control transfer: (URB status, data in)."""
        # wIndex names the channel, from 1; 0 is the first one too.
        channel = self._channel(max(index & 0xFF, 1) - 1)
        answer = 0
        if channel is None:
            answer = STALL
        elif request == SET_BITMODE and channel.mode_stalls:
            answer = STALL
        elif request == RESET and request_type == 0x40 and (
                channel.reset_stalls):
            answer = STALL
        elif request == READ_PINS and request_type == 0xC0:
            answer = channel.next_pins()
        delay = 0
        if isinstance(answer, tuple):
            _, answer, delay = answer
        result = answer if answer in (STALL, HANG) else "late" if delay else "ok"
        self.chip.log.append(("control", request_type, request, value, index,
                              length, result, time.monotonic()))
        if answer == STALL:
            # A byte left behind in a failed transfer: libusb copies it out
            # all the same, and the program must never show it.
            return -errno.EPIPE, b"\xee" if request_type & 0x80 else b""
        if answer == HANG:
            return HANG, b""
        status = (delay, 0) if delay else 0
        return status, bytes([answer]) if request_type & 0x80 else b""


# Files for programs run as another user, who may not enter the directory
# the repository is cloned into (a home directory is 0700).
_shared = None


def shared_dir():
    """A scratch directory under /tmp that every user may enter."""
    global _shared
    if _shared is None:
        _shared = tempfile.mkdtemp(prefix="pinmon-usb-")
        os.chmod(_shared, 0o755)  # removed by leave()
    return _shared


def reachable(path):
    """A copy of the file at path that every user may read and run."""
    copy = os.path.join(shared_dir(), os.path.basename(path))
    if not os.path.exists(copy):
        shutil.copy(path, copy)
        os.chmod(copy, 0o755)
    return copy


# Ended from outside (a ctest timeout), the tests still clean up.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
_beds = []


def leave(status):
    """Ends the tests: every program still running on a testbed is killed
    and every testbed's directory removed, then the process exits at once.
    Python may never finalize a testbed, which would remove its directory,
    or finalize it after the directory has gone, which umockdev takes for
    a fatal error: so nothing is left to finalize."""
    for bed in _beds:
        for run in bed.runs:
            if run.process.poll() is None:
                run.process.kill()
                run.process.wait()
        shutil.rmtree(bed.root, True)
    if _shared:
        shutil.rmtree(_shared, True)
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)


class Bed:
    """A umockdev testbed, and the program runs on it."""

    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        self.runs = []  # removed with the programs by leave()
        _beds.append(self)
        self.chips = []
        self._devnums = {}
        self._ttys = 0

    def add(self, kind, serial=None, bus=1, port="1", **options):
        chip = Chip(self, kind, serial, bus, port, self.next_devnum(bus),
                    **options)
        self.chips.append(chip)
        return chip

    def add_hub(self, bus, port):
        """A hub at that port, for chips at the ports below it."""
        devnum = self.next_devnum(bus)
        descriptors = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 9, 0, 1,
                                  64, 0x05E3, 0x0608, 0x0100, 0, 1, 0, 1)
        descriptors += struct.pack("<BBHBBBBB", 9, 2, 25, 1, 1, 0, 0xE0, 50)
        descriptors += struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 1, 9, 0, 0, 0)
        descriptors += struct.pack("<BBBBHB", 7, 5, 0x81, 3, 1, 12)
        attributes = ["busnum", str(bus), "devnum", str(devnum), "devpath",
                      port, "speed", "480", "idVendor", "05e3", "idProduct",
                      "0608", "bDeviceClass", "09"]
        properties = ["DEVNAME", "/dev/bus/usb/%03d/%03d" % (bus, devnum),
                      "DEVTYPE", "usb_device", "SUBSYSTEM", "usb", "BUSNUM",
                      "%03d" % bus, "DEVNUM", "%03d" % devnum]
        syspath = self.testbed.add_device("usb", "%d-%s" % (bus, port), None,
                                          attributes, properties)
        self.testbed.set_attribute_binary(syspath, "descriptors", descriptors)
        return syspath

    def hold_tty(self, channel, lock=False, program="picocom", user=None):
        """A terminal program, named program, that has the channel's serial
        port open, flock'ed if lock; its run, once the port is open."""
        script = ("import fcntl, sys, time\n"
                  "open('/proc/self/comm', 'w').write(sys.argv[1])\n"
                  "port = open('/dev/' + sys.argv[2], 'rb', buffering=0)\n"
                  "if sys.argv[3] == 'lock':\n"
                  "    fcntl.flock(port, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                  "print('open', flush=True)\n"
                  "time.sleep(600)\n")
        run = self.start([sys.executable, "-c", script, program, channel.tty,
                          "lock" if lock else "open"], user=user)
        run.wait_for_lines(1)
        channel.tty_users.append(run)
        return run

    def next_tty(self):
        self._ttys += 1
        return "ttyUSB%d" % (self._ttys - 1)

    def next_devnum(self, bus):
        self._devnums.setdefault(bus, 1)
        self._devnums[bus] += 1
        return self._devnums[bus]

    def start(self, argv, user=None, env=None, ignore=()):
        """Starts argv on the testbed, with env added to the environment
        and the signals in ignore ignored, as a parent may leave them."""
        env = dict(os.environ, UMOCKDEV_DIR=self.root, **(env or {}))
        if user:
            # The testbed and the ioctl sockets must be open to that user,
            # and so must the program; coverage counters go to a copy too.
            for path, dirs, files in os.walk(self.root):
                os.chmod(path, 0o777)
            for chip in self.chips:
                os.chmod(self.root + "/ioctl" + chip.devnode, 0o777)
            argv = [reachable(arg) if os.path.isfile(arg) else arg
                    for arg in argv]
            counters = os.path.join(shared_dir(), "counters")
            os.makedirs(counters, exist_ok=True)
            os.chmod(counters, 0o777)
            env["GCOV_PREFIX"] = counters
        started = time.monotonic()

        def as_a_parent_left_it():
            # No core file from a test of SIGQUIT.
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            for number in ignore:
                signal.signal(number, signal.SIG_IGN)

        options = dict(env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       preexec_fn=as_a_parent_left_it)
        try:
            process = subprocess.Popen(argv, user=user, **options)
        except OSError as error:
            # A run that cannot start fails its checks with the reason.
            reason = "cannot start %s as %s: %s\n" % (argv[0], user, error)
            process = subprocess.Popen(
                [sys.executable, "-c", "import sys; sys.stderr.write(sys."
                 "argv[1]); sys.exit(126)", reason], **options)
        run = Run(self, started, process)
        self.runs.append(run)
        return run

    def pump(self):
        """Answers whatever ioctls have come in."""
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass


class Run:
    """A program running on the testbed; its lines as they come."""

    def __init__(self, bed, started, process):
        self.bed, self.started, self.process = bed, started, process
        os.set_blocking(process.stdout.fileno(), False)
        self.lines = []
        self.arrivals = []  # time.monotonic() at which each line came
        self._partial = b""

    def wait_for(self, condition, limit=60):
        """Answers ioctls until condition() holds or the program ends. The
        limit only keeps a broken build from hanging the suite."""
        deadline = time.monotonic() + limit
        while not condition() and time.monotonic() < deadline:
            self.bed.pump()
            if not self._read() and self.process.poll() is not None:
                break
            time.sleep(0.001)
        return condition()

    def _read(self):
        chunk = self.process.stdout.read()
        if not chunk:
            return False
        *whole, self._partial = (self._partial + chunk).split(b"\n")
        self.lines += [line.decode() for line in whole]
        self.arrivals += [time.monotonic()] * len(whole)
        return True

    def wait_for_lines(self, count, limit=60):
        return self.wait_for(lambda: len(self.lines) >= count, limit)

    def stop(self, signal=15):
        """Ends the program with a signal; returns its exit status, negative
        for a signal as subprocess gives it."""
        if self.process.poll() is None:
            self.process.send_signal(signal)
        return self.finish()

    def close_reader(self):
        """Goes away as the reader of a pipe does; returns the exit status."""
        self.process.stdout.close()
        deadline = time.monotonic() + 60
        while self.process.poll() is None and time.monotonic() < deadline:
            self.bed.pump()
            time.sleep(0.001)
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.errors = self.process.stderr.read().decode()
        return self.process.returncode

    def finish(self):
        """Waits for the program to end by itself; returns its status, -9
        if it had to be killed."""
        if not self.wait_for(lambda: self.process.poll() is not None):
            self.process.kill()
            self.process.wait()
        while self._read():
            pass
        self.errors = self.process.stderr.read().decode()
        return self.process.returncode

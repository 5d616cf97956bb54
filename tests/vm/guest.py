"""The unchanged sensormidi binary on the real kernel stack, inside the
virtual machine that vm.py boots: a USB "sensor" (the acm gadget function)
through cdc-acm as /dev/ttyACM0, and a USB "synth" (the midi gadget function)
through snd-usb-audio as ALSA card 1, both on dummy_hcd's software USB.
Unplugging is unbinding a gadget from its controller.

Usage (inside the guest): guest.py BINARY [unittest arguments]
"""

import json
import os
import subprocess
import sys
import termios
import threading
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from model import Model  # noqa: E402
from rig import (Program, StopCases, alternate, applied, assert_idle, main,  # noqa: E402
                 wait_for)

BINARY = None
PORT = "/dev/ttyACM0"
GADGET_TTY = "/dev/ttyGS0"
GADGETS = "/sys/kernel/config/usb_gadget"
SYNTH_CARD = 0  # the gadget side's own card; card 1 is the host side's
CARD1 = ["/proc/asound/card1", "/dev/snd/controlC1", "/dev/snd/midiC1D0"]
# Seconds for anything the emulated machine does, as long as the other lanes and a build
# beside them can make it (a git clone over 9p took 33 s so).
WAIT = 120
MONITOR = "/dev/virtio-ports/vm.monitor"  # QEMU's monitor, through vm.py


def write(path, value):
    with open(path, "w") as f:
        f.write(value)


def modprobe(*args):
    subprocess.run(["modprobe", "-d", os.environ["VM_MODULES"], *args], check=True)


def wait(check, what):
    return wait_for(check, WAIT, what)


def ask(port, command, **arguments):
    """A QMP command through QEMU's monitor port (vm.py --sound); its answer."""
    port.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
    return json.loads(port.readline())


def host_offset(port):
    """The host's monotonic clock less the guest's, from the quickest of a few asks: the
    host's time is taken as at the middle of the round trip."""
    trips = []
    for _ in range(5):
        sent = time.monotonic()
        host = ask(port, "host-clock")["return"]
        back = time.monotonic()
        trips.append((back - sent, host - (sent + back) / 2))
    return min(trips)


class Gadget:
    """One USB device of the gadget framework, plugged into its own controller."""

    def __init__(self, name, function, udc, **attributes):
        self.dir, self.udc = os.path.join(GADGETS, name), udc
        os.mkdir(self.dir)
        write(os.path.join(self.dir, "idVendor"), "0x1d6b")  # Linux Foundation
        write(os.path.join(self.dir, "idProduct"), "0x0104")  # multifunction composite gadget
        strings = os.path.join(self.dir, "strings", "0x409")
        os.makedirs(strings)
        write(os.path.join(strings, "product"), name)
        func = os.path.join(self.dir, "functions", function)
        os.mkdir(func)
        for key, value in attributes.items():
            write(os.path.join(func, key), str(value))
        config = os.path.join(self.dir, "configs", "c.1")
        os.mkdir(config)
        os.symlink(func, os.path.join(config, function))

    def plug(self):
        write(os.path.join(self.dir, "UDC"), self.udc)

    def unplug(self):
        write(os.path.join(self.dir, "UDC"), "\n")


class Sensor:
    """The sensor's side of the serial link: what it writes, the host reads."""

    def __init__(self, gadget):
        self.gadget, self.fd = gadget, None

    def plug(self):
        self.gadget.plug()
        wait(lambda: os.path.exists(PORT) and os.path.exists(GADGET_TTY), "the sensor to appear")
        self.fd = os.open(GADGET_TTY, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)  # the device's own side: no echo, bytes as they are

    def unplug(self):
        os.close(self.fd)
        self.fd = None
        self.gadget.unplug()
        wait(lambda: not os.path.exists(PORT), "the sensor to go")

    def send(self, text):
        os.write(self.fd, text.encode())


def port_settings():
    """The host side's line settings, read as any other program would."""
    fd = os.open(PORT, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


class Synth:
    """The synth's side of the MIDI link: records every byte the program sent,
    with its CLOCK_MONOTONIC time of arrival."""

    def __init__(self, gadget, card):
        self.gadget, self.card, self.received, self.reader = gadget, card, [], None

    def plug(self):
        self.gadget.plug()
        device = f"/dev/snd/midiC{self.card}D0"
        wait(lambda: all(os.path.exists(p) for p in CARD1 + [device]),
             "the synth to appear as card 1")
        fd = os.open(device, os.O_RDONLY)
        self.reader = threading.Thread(target=self._read, args=(fd,), daemon=True)
        self.reader.start()
        # The gadget drops what arrives before its input is started, by the first read.
        wait(lambda: self._waiting(), "the synth to listen")

    def _waiting(self):
        try:
            with open(f"/proc/self/task/{self.tid}/syscall") as f:
                return f.read().split()[0] == "0"  # read(2)
        except (AttributeError, OSError, IndexError):
            return False

    def _read(self, fd):
        self.tid = threading.get_native_id()
        while True:
            try:
                data = os.read(fd, 256)
            except OSError:  # unplugged
                break
            if not data:
                break
            now = time.monotonic()
            self.received += [(now, b) for b in data]
        os.close(fd)

    def unplug(self):
        self.gadget.unplug()
        self.reader.join(WAIT)
        # Its nodes go one by one: a test that saw one left would take it for the new card.
        wait(lambda: not any(os.path.exists(p) for p in CARD1), "card 1 to go")

    def bytes(self):
        return [b for _, b in self.received]

    def wait_bytes(self, count):
        wait(lambda: len(self.received) >= count, f"{count} bytes at the synth")
        return self.bytes()


def devices(synth_card=SYNTH_CARD, card1=("index=1",), synth=True):
    """The software USB controllers with a sensor and a synth for them, unplugged.
    card1: the USB audio driver's options that make the synth card 1. Without the
    synth (None), no sound module is loaded."""
    modprobe("dummy_hcd", f"num={2 if synth else 1}")
    for module in ("libcomposite", "usb_f_acm", "cdc_acm") + (("usb_f_midi",) if synth else ()):
        modprobe(module)
    udcs = sorted(os.listdir("/sys/class/udc"))
    sensor = Sensor(Gadget("sensor", "acm.usb0", udcs[0]))
    if not synth:
        return sensor, None
    modprobe("snd_usb_audio", *card1)
    return sensor, Synth(Gadget("synth", "midi.usb0", udcs[1], index=synth_card), synth_card)


class Machine(unittest.TestCase):
    """A sensor and a synth plugged in, and the program started by each test."""

    @classmethod
    def setUpClass(cls):
        cls.sensor, cls.synth = devices()

    def setUp(self):
        self.work = os.environ.get("VM_OUT", "/tmp")
        self.programs = []
        self.sensor.plug()
        self.synth.plug()

    def tearDown(self):
        for p in self.programs:
            p.stop()
        if self.sensor.fd is not None:
            self.sensor.unplug()
        if self.synth.reader and self.synth.reader.is_alive():
            self.synth.unplug()
        self.synth.received = []

    def start(self):
        program = Program(BINARY, None, self.work)
        self.programs.append(program)
        return program

    def start_playing(self, line="300,400|0\r\n", note=(0x90, 0x45, 0x64)):
        """Started, with the port's settings in force (before them the tty would echo
        and treat bytes as it does by default), and a line's note sounding: 69."""
        program = self.start()
        wait(lambda: applied(port_settings()), "the port settings")
        heard = len(self.synth.received)
        self.sensor.send(line)
        self.assertEqual(self.synth.wait_bytes(heard + 6)[heard:], [0x80, 0, 0, *note])
        return program

    def assert_no_cpu(self, program):
        assert_idle(self, program.pid)
        self.assertTrue(program.alive())

    def play_until_heard(self, program, until=None):
        """Note changes, one every 0.3 s, until one reaches the synth."""
        alternate(self.sensor.send, until or (lambda: self.synth.received), WAIT, 0.3)
        self.assertTrue(program.alive())


class Playing(Machine):
    def test_typical_reading(self):
        program = self.start_playing("215,180|0\r\n", (0x90, 0x43, 0x3C))
        wait(lambda: program.out == ["67"], "the note log")

    def test_a_stream_arrives_as_the_rules_say(self):
        lines = ("100,200|0\r\n"     # a note
                 "105,200|0\r\n"     # jitter: nothing
                 "108,330|0\n"       # louder, but moved too little: nothing
                 "118,330|0\r\n"     # louder, moved enough
                 "0,0|1\r\n"         # the next instrument, and the pause
                 "300,320|0\r\n"     # after the pause
                 "300,50|0\r\n"      # silence
                 "300,40|0\r\n")     # still silent: nothing
        model = Model()
        model.feed(lines.encode())
        program = self.start()
        wait(lambda: applied(port_settings()), "the port settings")
        self.sensor.send(lines)
        self.assertEqual(self.synth.wait_bytes(len(model.wire())), model.wire())
        times = [t for t, _ in self.synth.received]
        change = self.synth.bytes().index(0xC0)
        # Timed from the drained Note Off before the Program Change: the Program Change
        # itself is not drained, and its bytes may trail its write by tens of ms.
        self.assertGreater(times[change + 2] - times[change - 1], 0.9)
        wait(lambda: program.out == model.log, "the note log")


class SensorPlug(Machine):
    def test_unplugged_and_plugged_back_while_playing(self):
        program = self.start_playing()
        self.sensor.unplug()
        wait(lambda: program.err, "the loss report")
        self.assertEqual(program.err, [f"{PORT}: sensor lost: end of file"])
        self.assert_no_cpu(program)
        self.sensor.plug()
        self.assertFalse(os.path.exists("/dev/ttyACM1"))
        wait(lambda: len(program.err) == 2, "the sensor to be found again")
        self.assertEqual(program.err[1], f"{PORT}: sensor connected")
        self.assertTrue(applied(port_settings()))
        self.sensor.send("100,400|0\r\n")
        self.assertEqual(self.synth.wait_bytes(12)[6:], [0x80, 0x45, 0, 0x90, 0x3E, 0x64])


class SynthPlug(Machine):
    def test_unplugged_while_playing(self):
        program = self.start_playing()
        self.synth.unplug()
        self.synth.received = []
        self.sensor.send("100,400|0\r\n")
        wait(lambda: program.err, "the loss report")
        self.sensor.send("300,400|0\r\n100,400|0\r\n")
        wait(lambda: program.out == ["69", "62", "69", "62"], "the note log")
        self.synth.plug()
        self.play_until_heard(program)
        wait(lambda: len(program.err) == 2, "the reopen report")
        self.assertEqual(program.err, ["hw:1,0,0: MIDI output lost: No such device",
                                       "hw:1,0,0: MIDI output open"])

    def test_plugged_back_while_quiet_plays_the_next_note(self):
        program = self.start_playing()
        self.synth.unplug()
        self.synth.received = []
        self.synth.plug()
        self.sensor.send("100,400|0\r\n")
        self.assertEqual(self.synth.wait_bytes(6), [0x80, 0x45, 0, 0x90, 0x3E, 0x64])
        wait(lambda: len(program.err) == 2, "the reports")
        self.assertEqual(program.err, ["hw:1,0,0: MIDI output lost: No such device",
                                       "hw:1,0,0: MIDI output open"])

    def test_absent_at_start(self):
        self.synth.unplug()
        program = self.start()
        wait(lambda: program.out, "the open failure")
        self.assertEqual(program.out, ["Can't open MIDI output: No such file or directory"])
        wait(lambda: applied(port_settings()), "the port settings")
        deadline = time.monotonic() + 3.5  # three retries or more
        self.play_until_heard(program, lambda: time.monotonic() > deadline)
        self.assertLessEqual(len([e for e in program.err if "ALSA lib" in e]), 1, program.err)
        self.synth.plug()
        self.play_until_heard(program)


class Stopping(Machine, StopCases):
    STOPPED = [0x80, 0x45, 0]
    STOP_SECONDS = WAIT  # emulated: what counts here is the Note Off on the wire

    def port_settings(self):
        return port_settings()

    def midi(self, count):
        return self.synth.wait_bytes(count)


class Soak(Machine):
    SENSOR_CYCLES = 30
    SYNTH_CYCLES = 10

    def footprint(self, program):
        with open(f"/proc/{program.pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return len(os.listdir(f"/proc/{program.pid}/fd")), rss

    def test_plugging_again_and_again(self):
        program = self.start_playing()
        notes = ["100,400|0\r\n", "300,400|0\r\n"]

        def replug(device, cycle):
            device.unplug()
            if device is self.sensor:
                wait(lambda: len(program.err) == 2 * cycle + 1, "the loss report")
            device.plug()
            if device is self.sensor:
                wait(lambda: len(program.err) == 2 * cycle + 2, "the sensor to be found again")
            heard = len(self.synth.received)
            self.sensor.send(notes[cycle % 2])
            self.synth.wait_bytes(heard + 6)
        # The first reconnection grows the heap a few kB once (libc, alsa-lib): the baseline
        # is taken after it.
        replug(self.sensor, 0)
        fds, rss = self.footprint(program)
        for cycle in range(1, self.SENSOR_CYCLES):
            replug(self.sensor, cycle)
        for cycle in range(self.SYNTH_CYCLES):
            replug(self.synth, cycle)
        self.assertTrue(program.alive())
        now_fds, now_rss = self.footprint(program)
        self.assertEqual(now_fds, fds)
        self.assertLessEqual(now_rss - rss, 16, "kB of resident memory gained")


class PiCards(unittest.TestCase):
    """A Raspberry Pi's own sound cards (HDMI outputs, headphone jack) are there
    before any USB device. The README's modprobe recipe keeps card 1 for the synth."""

    def test_the_recipe_keeps_card_1_for_the_usb_synth(self):
        recipe = os.path.join(HERE, "..", "..", "dist", "usb-midi-card1.conf")
        # The first sound module loads the sound core, with the recipe's options.
        modprobe("-C", recipe, "snd_dummy", "enable=1,1,1")
        cards = sorted(int(c[4:]) for c in os.listdir("/proc/asound") if c[4:].isdigit())
        self.assertEqual(cards, [0, 2, 3])  # slot 1 passed over
        # Loaded as udev loads it for a plugged device: no options of its own.
        sensor, synth = devices(synth_card=7, card1=())
        sensor.plug()
        synth.plug()
        listing = subprocess.run(["amidi", "-l"], capture_output=True, text=True,
                                 check=True).stdout
        self.assertRegex(listing, r"(?m)^IO +hw:1,0,0 ")
        program = Program(BINARY, None, os.environ.get("VM_OUT", "/tmp"))
        try:
            wait(lambda: applied(port_settings()), "the port settings")
            sensor.send("215,180|0\r\n")
            self.assertEqual(synth.wait_bytes(6), [0x80, 0x00, 0x00, 0x90, 0x43, 0x3C])
            self.assertEqual(program.err, [])
        finally:
            program.stop()


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    main(sys.argv[2:])

"""The reference sensor's firmware, the very ELFs that are flashed, on simulated boards
at 16 MHz (simavr): an Uno's ATmega328P, whose lines leave on its serial line, and a
Leonardo's ATmega32U4, whose lines leave on its own USB port, opened and read as
Linux's cdc-acm does. What their inputs become on the line, and when.

The board at the wall clock's pace, as the virtual machine's port sees it (live.c), is
tested here too: the Uno's bytes one by one, the 32U4 board as a USB/IP device.

Usage: test_firmware.py HARNESS UNO.elf LEONARDO.elf LIVE [unittest arguments]
"""

import os
import random
import re
import shutil
import socket
import struct
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "tests", "e2e")]
from board import BOUNCE, LINE, MV_FULL, PITCH, VOLUME, Board  # noqa: E402
from frames import frame, split  # noqa: E402
from rig import main  # noqa: E402

HARNESS = LIVE = None
ELVES = {}  # board: its firmware
SAMPLING_US = 500  # two conversions and the formatting of a line
# 9600 baud from the 16 MHz clock: the UART divides by 8 x 208 (double speed), 9615 baud;
# simavr frames a byte in 11 bit times (a real 8N1 link, 10).
BYTE_US = 11 * 8 * 208 / 16
LINE_US = len(b"319,350|0\r\n") * BYTE_US
SKETCH = os.path.join(HERE, "..", "sensor")
KEEPALIVE_US = 100_000
SPACING_US = 4000  # native USB: at most a line per 4 ms
# The program's band edges: where a note or a velocity starts.
EDGES = {PITCH: (70, 120, 160, 210, 260, 310, 360), VOLUME: (91, 111, 151, 201, 251, 301)}
TOPS = {PITCH: 400, VOLUME: 350}
FIGURES = {}  # board: step-to-line delays, for the table printed at the end


def raw(millivolts):
    """The simulator's converter: mV * 1023 / MV_FULL."""
    return millivolts * 1023 // MV_FULL


def scaled(reading, low, high, top):
    """Arduino's map() (C's division, toward zero), held inside 0..top."""
    num, den = (reading - low) * top, high - low
    quotient = abs(num) // abs(den) * (1 if (num < 0) == (den < 0) else -1)
    return min(max(quotient, 0), top)


def millivolts(value, top):
    """The lowest voltage that the firmware reads as `value` of 0..top."""
    return next(mv for mv in range(MV_FULL + 1) if scaled(raw(mv), 0, 1023, top) == value)


def wait_line(board, check, what, bound_us=200_000):
    """Runs the board in 1 ms steps until a line sent from now on satisfies check(reading);
    that line's index."""
    since = len(board.lines)
    for _ in range(bound_us // 1000):
        for i, reading in enumerate(board.readings(since)):
            if check(reading):
                return since + i
        board.run(1000)
    raise AssertionError(f"no line with {what} within {bound_us / 1000:.0f} ms")


class Uno(unittest.TestCase):
    """The cases of both boards, on the Uno; Leonardo runs them again."""

    BOARD, MCU = "uno", "atmega328p"
    TAIL_US = BYTE_US  # a line's time is its last byte's write: it leaves a byte later

    def setUp(self):
        self.board = Board(HARNESS, ELVES[self.BOARD], self.MCU)
        self.addCleanup(self.board.close)
        self.connect()
        self.board.adc(VOLUME, MV_FULL)
        self.board.adc(PITCH, 1000)
        self.board.run(30_000)

    def connect(self):
        pass

    def test_voltages_become_readings(self):
        # The simulator's converter reads mV * 1023 / 5000; the firmware maps 0..1023
        # to 0..400 (pitch) and 0..350 (volume), each rounded down.
        for pitch_mv, volume_mv, want in [(0, 5000, (0, 350)), (5000, 0, (400, 0)),
                                          (2500, 2500, (199, 174)), (1000, 4000, (79, 279))]:
            with self.subTest(pitch_mv=pitch_mv, volume_mv=volume_mv):
                self.board.adc(PITCH, pitch_mv)
                self.board.adc(VOLUME, volume_mv)
                self.board.run(30_000)
                self.assertEqual(self.board.readings()[-1], (*want, 0))

    def test_every_line_has_the_form_the_program_reads(self):
        rng = random.Random(7)
        for _ in range(200):
            self.board.adc(rng.choice([PITCH, VOLUME]), rng.randint(0, MV_FULL))
            self.board.pin(rng.choice([0, 1, 1, 1]))
            self.board.run(rng.randint(0, 20_000))
        self.assertGreater(len(self.board.lines), 100)
        for _, text in self.board.lines:
            self.assertRegex(text, LINE)

    def test_a_press_is_sent_once(self):
        held = [(0, 2_000_000)]
        released = [(1, 300_000)]
        for name, shape, presses in [
                ("clean, held 2 s", held + released, 1),
                ("bouncing at both ends, held 2 s", BOUNCE + held + BOUNCE + released, 1),
                ("two presses", held + released + [(0, 100_000)] + released, 2),
                ("a 5 ms glitch", [(0, 5000)] + released, 0)]:
            with self.subTest(name):
                since = len(self.board.lines)
                for level, microseconds in shape:
                    self.board.pin(level)
                    self.board.run(microseconds)
                self.assertEqual([r[2] for r in self.board.readings(since)].count(1), presses)

    def test_every_band_edge_is_reached_one_step_at_a_time(self):
        # A hand that creeps: each edge from one step below, and the step below it from
        # the edge. The jitter filter must not hold a line back for good.
        board = self.board
        for channel, edges in EDGES.items():
            for edge in edges:
                for start, end in ((edge - 1, edge), (edge, edge - 1)):
                    with self.subTest(channel=channel, start=start, end=end):
                        board.adc(channel, millivolts(start, TOPS[channel]))
                        wait_line(board, lambda r: r[channel] == start, f"{start}")
                        board.adc(channel, millivolts(end, TOPS[channel]))
                        wait_line(board, lambda r: r[channel] == end, f"{end}")

    def test_still_inputs_repeat_the_last_line(self):
        # Nothing changes: the last values again at least every 100 ms, the switch at 0
        # even after a press, so that a lost line is made good.
        board = self.board
        for level in (0, 1):
            board.pin(level)
            board.run(100_000)
        since = len(board.lines)
        board.run(1_000_000)
        times = [t for t, _ in board.lines[since - 1:]]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreaterEqual(len(gaps), 9, "no line repeated")
        self.assertLessEqual(max(gaps), KEEPALIVE_US + 1000, gaps)
        self.assertGreaterEqual(min(gaps), KEEPALIVE_US - 1000, gaps)  # and no more
        self.assertEqual(set(board.readings(since)), {(79, 350, 0)})

    def step_delays(self, count, rest_us):
        """From `count` voltage steps, each after a random rest, to the end of the first
        line that carries it: microseconds."""
        board, rng, delays = self.board, random.Random(1), []
        for i in range(count):
            board.run(rng.randint(*rest_us))
            mv = (4000, 1000)[i % 2]
            board.adc(PITCH, mv)
            stepped, want = board.now, scaled(raw(mv), 0, 1023, 400)
            at, _ = board.lines[wait_line(board, lambda r: r[0] == want, f"pitch {want}", 100_000)]
            delays.append(at + self.TAIL_US - stepped)
        FIGURES[type(self).__name__] = delays
        return delays

    def test_a_step_from_rest_leaves_at_once(self):
        # The link idle (the last line has left, the keepalive not yet due): the line
        # with the step starts within the sampling, and takes a line time.
        delays = self.step_delays(200, (int(LINE_US) + 1000, 80_000))
        self.assertLessEqual(max(delays), 1.1 * LINE_US + SAMPLING_US)

    def test_lines_leave_back_to_back_while_the_hand_moves(self):
        board = self.board
        since = len(board.lines)
        for i in range(500):  # a ramp: every reading differs from the last line's
            board.adc(PITCH, i * 37 % MV_FULL)
            board.run(1000)
        for (a, _), (b, text) in zip(board.lines[since + 1:], board.lines[since + 2:]):
            self.assertAlmostEqual(b - a, len(text) * BYTE_US, delta=2)
        self.assertGreater(len(board.lines) - since, 30)


class Leonardo(Uno):
    """The same cases on an ATmega32U4 whose port the host has opened, and what only
    native USB has: its descriptors, DTR, and pacing."""

    BOARD, MCU = "leonardo", "atmega32u4"
    TAIL_US = 0  # a line's time is when the host read it

    def connect(self):
        self.board.run(200_000)
        self.board.open()

    def test_a_step_from_rest_leaves_at_once(self):
        # A step just after a line waits out the 4 ms spacing, then up to a 1 ms frame.
        delays = self.step_delays(200, (0, 20_000))
        self.assertLessEqual(statistics.median(delays), 2000)
        self.assertLessEqual(max(delays), 6000)

    def test_lines_leave_back_to_back_while_the_hand_moves(self):
        # Inputs that move all the time: a line every 4 ms at most, so that a second of
        # lines (250, 2.8 kB) fits the host's 4 kB buffer while the program pauses.
        board, rng = self.board, random.Random(3)
        board.run(100_000)
        since = len(board.lines)
        for _ in range(2000):
            board.adc(PITCH, rng.randint(0, MV_FULL))
            board.adc(VOLUME, rng.randint(0, MV_FULL))
            board.run(500)
        times = [t for t, _ in board.lines[since:]]
        self.assertGreaterEqual(min(b - a for a, b in zip(times, times[1:])), SPACING_US - 1000)
        self.assertLessEqual(len(times), 250 + 1)
        self.assertGreater(len(times), 200)

    def test_a_cdc_acm_device(self):
        # What cdc-acm binds: a communication interface of class 2, subclass 2 (abstract
        # control model) and a data interface (class 10) with a bulk IN endpoint.
        device, config = self.board.descriptors["device"], self.board.descriptors["config"]
        self.assertEqual((device[1], device[8:10]), (1, bytes([0x41, 0x23])))  # Arduino's VID
        interfaces, at = [], 0
        while at < len(config):
            length, kind = config[at], config[at + 1]
            if kind == 4:
                interfaces.append(tuple(config[at + 5:at + 7]))
            at += length
        self.assertIn((2, 2), interfaces)
        self.assertIn((10, 0), interfaces)

    def test_jittery_still_inputs_send_ten_lines_a_second(self):
        # The converter's jitter, a step either way at random every millisecond, over
        # 10 s: only the keepalive, 10 lines a second, not more and not silence.
        board, rng = self.board, random.Random(5)
        centre = (millivolts(200, 400) + millivolts(201, 400)) // 2  # between two values
        since = len(board.lines)
        for _ in range(10_000):
            board.adc(PITCH, centre + rng.choice((-5, 0, 5)))
            board.adc(VOLUME, MV_FULL - rng.choice((0, 5)))
            board.run(1000)
        lines = len(board.lines) - since
        print(f"\njittery still inputs: {lines / 10:.1f} lines a second", flush=True)
        self.assertLessEqual(lines, 101)
        self.assertGreaterEqual(lines, 95)

    def test_nothing_before_dtr_and_no_half_line_after(self):
        board = Board(HARNESS, ELVES[self.BOARD], self.MCU)
        self.addCleanup(board.close)
        board.adc(VOLUME, MV_FULL)
        board.run(200_000)
        board.configure()
        board.run(300_000)
        self.assertEqual(board.lines, [])  # plugged in, the port not opened
        board.dtr(True)
        board.run(50_000)
        self.assertTrue(board.lines)
        # DTR dropped and raised again at random moments while the hand moves.
        rng = random.Random(11)
        for _ in range(20):
            board.adc(PITCH, rng.randint(0, MV_FULL))
            board.run(rng.randint(0, 8000))
            board.dtr(False)
            board.run(rng.randint(0, 8000))
            board.dtr(True)
        before = len(board.lines)
        board.run(250_000)
        for _, text in board.lines:
            self.assertRegex(text, LINE)
        # And after the last raise, the lines come again: the keepalive, 10 a second at least.
        self.assertGreaterEqual(len(board.lines) - before, 2)


class Adapted(unittest.TestCase):
    """The sketch as a user adapts it: a pitch sensor that swings over part of the range,
    and a volume sensor read the other way round."""

    CONSTANTS = {"PITCH_LOW": 200, "PITCH_HIGH": 600, "VOLUME_LOW": 1023, "VOLUME_HIGH": 0}

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        sketch = os.path.join(cls.work, "sensor")
        shutil.copytree(SKETCH, sketch)
        path = os.path.join(sketch, "sensor.ino")
        with open(path) as f:
            text = f.read()
        for name, value in cls.CONSTANTS.items():
            text, found = re.subn(rf"(const long {name} = )\d+;", rf"\g<1>{value};", text)
            assert found == 1, name
        with open(path, "w") as f:
            f.write(text)
        subprocess.run([os.path.join(SKETCH, "..", "build.sh"), os.path.join(cls.work, "avr"),
                        sketch], check=True)
        cls.elf = os.path.join(cls.work, "avr", "sensor.elf")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_readings_stay_in_range(self):
        c = self.CONSTANTS
        board = Board(HARNESS, self.elf)
        try:
            for millivolts in range(0, MV_FULL + 1, 250):
                board.adc(PITCH, millivolts)
                board.adc(VOLUME, MV_FULL - millivolts)
                board.run(30_000)
                text = board.lines[-1][1]
                self.assertRegex(text, LINE)
                want = (scaled(raw(millivolts), c["PITCH_LOW"], c["PITCH_HIGH"], 400),
                        scaled(raw(MV_FULL - millivolts), c["VOLUME_LOW"], c["VOLUME_HIGH"], 350))
                self.assertEqual(board.readings()[-1][:2], want, f"{millivolts} mV: {text}")
        finally:
            board.close()


def submit(seqnum, ep, setup=b"", length=0, data=b""):
    """A USB/IP CMD_SUBMIT: IN unless it carries data or its setup packet is an OUT one."""
    into = 1 if (setup and setup[0] & 0x80) or (not setup and not data) else 0
    return struct.pack(">10I", 1, seqnum, 0x10002, into, ep, 0, length, 0, 0, 0) + \
        setup.ljust(8, b"\0") + data


def unlink(seqnum, victim):
    return struct.pack(">6I", 2, seqnum, 0x10002, 0, 0, victim) + bytes(24)


GET_DEVICE = bytes([0x80, 6, 0, 1, 0, 0, 64, 0])
GET_QUALIFIER = bytes([0x80, 6, 0, 6, 0, 0, 10, 0])  # a full-speed device has none: stalled
ECONNRESET, EPIPE = 104, 32


class Live(unittest.TestCase):
    """The board played at the wall clock's pace into a virtual machine's port."""

    def setUp(self):
        self.port, theirs = socket.socketpair()
        self.proc = subprocess.Popen([LIVE], stdin=theirs, stdout=subprocess.DEVNULL)
        theirs.close()
        self.port.settimeout(30)
        self.buffer = b""
        self.addCleanup(self.proc.wait)
        self.addCleanup(self.port.close)

    def send(self, *frames):
        """Frames of (kind, payload), in one write: the harness takes them together."""
        self.port.sendall(b"".join(frame(k, p) for k, p in frames))

    def receive(self, kind):
        """The next frame of that kind, and its moment; other kinds are passed over."""
        while True:
            frames, rest = split(self.buffer)
            for n, (got, payload) in enumerate(frames):
                if got == kind:
                    self.buffer = b"".join(frame(k, p) for k, p in frames[n + 1:]) + rest
                    return payload, time.monotonic()
            self.buffer = rest
            data = self.port.recv(65536)
            self.assertTrue(data, "the harness ended")
            self.buffer += data

    def reply(self, generation=1):
        """The next USB/IP reply: (command, seqnum, status, data)."""
        payload, _ = self.receive(b"u")
        self.assertEqual(payload[0], generation)
        command, seqnum, _, _, _, status, length = struct.unpack_from(">5IiI", payload, 1)
        return command, seqnum, status, payload[49:49 + length]

    def request(self, seqnum, setup, data=b""):
        self.send((b"u", submit(seqnum, 0, setup, len(data) or setup[6], data)))
        command, got, status, back = self.reply()
        self.assertEqual((command, got), (3, seqnum))
        return status, back

    def test_uno_bytes_leave_one_at_a_time_no_sooner_than_the_wire_takes(self):
        self.send((b"b", f"{ELVES['uno']} atmega328p".encode()),
                  (b"h", f"0 adc {PITCH} 2700\n0 adc {VOLUME} {MV_FULL}".encode()))
        line, moments = b"", []
        while not LINE.match(line) or b"215,350" not in line:
            frame, _ = self.receive(b"s")
            self.assertEqual(len(frame), 9)
            line = b"" if line.endswith(b"\n") else line
            line += frame[:1]
            moments.append(int.from_bytes(frame[1:], "big"))
        # Each byte leaves a byte time (1041.7 us at 9600 baud) after the one before, on the
        # board's clock in whole microseconds; the harness keeps that clock to the wall
        # clock's as well as the host's load lets it.
        gaps = [b - a for a, b in zip(moments[-len(line):], moments[-len(line) + 1:])]
        self.assertGreaterEqual(min(gaps), 1041, gaps)

    def open_32u4(self):
        self.send((b"b", f"{ELVES['leonardo']} atmega32u4".encode()), (b"a", b"\1"))
        status, device = self.request(1, GET_DEVICE)
        self.assertEqual((status, len(device), device[4]), (0, 18, 0xEF))
        status, config = self.request(2, bytes([0x80, 6, 0, 2, 0, 0, 255, 0]))
        self.assertEqual(len(config), config[2])
        self.assertEqual(self.request(3, bytes([0, 9, 1, 0, 0, 0, 0, 0])), (0, b""))
        coding = bytes([0x80, 0x25, 0, 0, 0, 0, 8])
        self.assertEqual(self.request(4, bytes([0x21, 0x20, 0, 0, 0, 0, 7, 0]), coding), (0, b""))
        self.assertEqual(self.request(5, bytes([0x21, 0x22, 3, 0, 0, 0, 0, 0])), (0, b""))

    def test_32u4_is_a_usbip_device(self):
        self.open_32u4()
        self.assertEqual(self.request(6, GET_QUALIFIER), (-EPIPE, b""))
        # The notification endpoint's request waits; the bulk one gets a line.
        self.send((b"u", submit(7, 1, length=16)), (b"u", submit(8, 3, length=128)))
        command, seqnum, status, line = self.reply()
        self.assertEqual((command, seqnum, status), (3, 8, 0))
        self.assertRegex(line, LINE)
        # A request unlinked before it is answered is never answered; one already
        # answered is unlinked with 0.
        self.send((b"u", submit(9, 3, length=128)), (b"u", unlink(10, 9)))
        self.assertEqual(self.reply()[:3], (4, 10, -ECONNRESET))
        self.send((b"u", unlink(11, 8)), (b"u", unlink(12, 7)), (b"u", submit(13, 3, length=128)))
        self.assertEqual(self.reply()[:3], (4, 11, 0))
        self.assertEqual(self.reply()[:3], (4, 12, -ECONNRESET))
        self.assertEqual(self.reply()[:3], (3, 13, 0))

    def test_32u4_plugged_anew_is_a_new_connection(self):
        self.open_32u4()
        self.send((b"u", submit(6, 3, length=128)), (b"a", b"\2"))
        self.send((b"u", submit(1, 0, GET_DEVICE, 64)))
        self.assertEqual(self.reply(generation=2)[:3], (3, 1, 0))


def tearDownModule():
    if not FIGURES:
        return
    print(f"\nvoltage step to the end of its first line, {len(next(iter(FIGURES.values())))} "
          f"steps at random phases (a line {LINE_US / 1000:.2f} ms on the Uno's link):")
    print("| board | median | worst |\n|---|---|---|")
    for board, delays in FIGURES.items():
        print(f"| {board} | {statistics.median(delays) / 1000:.2f} ms | "
              f"{max(delays) / 1000:.2f} ms |")


if __name__ == "__main__":
    HARNESS, LIVE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[4])
    ELVES.update(uno=os.path.abspath(sys.argv[2]), leonardo=os.path.abspath(sys.argv[3]))
    main(sys.argv[5:])

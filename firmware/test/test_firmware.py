"""The reference sensor's firmware, the very ELF that is flashed, on a simulated
ATmega328P at 16 MHz (simavr): what its inputs become on the serial line.

Usage: test_firmware.py HARNESS FIRMWARE.elf [unittest arguments]
"""

import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "tests", "e2e")]
from board import BOUNCE, LINE, MV_FULL, PITCH, VOLUME, Board  # noqa: E402
from rig import main  # noqa: E402

HARNESS = ELF = None
SAMPLING_US = 500  # two conversions and the formatting of a line
# 9600 baud from the 16 MHz clock: the UART divides by 8 x 208 (double speed), 9615 baud;
# simavr frames a byte in 11 bit times (a real 8N1 link, 10).
BYTE_US = 11 * 8 * 208 / 16
SKETCH = os.path.join(HERE, "..", "sensor")


def raw(millivolts):
    """The simulator's converter: mV * 1023 / MV_FULL."""
    return millivolts * 1023 // MV_FULL


def scaled(reading, low, high, top):
    """Arduino's map() (C's division, toward zero), held inside 0..top."""
    num, den = (reading - low) * top, high - low
    quotient = abs(num) // abs(den) * (1 if (num < 0) == (den < 0) else -1)
    return min(max(quotient, 0), top)


class Firmware(unittest.TestCase):
    def setUp(self):
        self.board = Board(HARNESS, ELF)
        self.board.adc(VOLUME, MV_FULL)
        self.board.adc(PITCH, 1000)
        self.board.run(30_000)

    def tearDown(self):
        self.board.close()

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

    def test_a_change_arrives_within_two_line_times(self):
        board, rng, delays = self.board, random.Random(1), []
        # Lines at steady input leave back to back at 9600 baud: each starts as the last
        # one ends.
        board.run(100_000)
        for (a, _), (b, text) in zip(board.lines[-8:], board.lines[-7:]):
            self.assertAlmostEqual(b - a, len(text) * BYTE_US, delta=2)
        for i in range(200):
            board.run(rng.randint(0, 13_000))  # a random phase against the lines
            millivolts = (4000, 1000)[i % 2]
            board.adc(PITCH, millivolts)
            stepped, since = board.now, len(board.lines)
            want = scaled(raw(millivolts), 0, 1023, 400)
            for _ in range(100):
                if any(r[0] == want for r in board.readings(since)):
                    break
                board.run(1000)
            else:
                self.fail(f"no line with pitch {want} within 100 ms of the step")
            at, text = board.lines[since + [r[0] for r in board.readings(since)].index(want)]
            delays.append(at + BYTE_US - stepped)  # its last byte has left
        line_us = len(b"319,350|0\r\n") * BYTE_US
        print(f"\nvoltage step to the end of its first line, 200 steps: median "
              f"{statistics.median(delays) / 1000:.2f} ms, worst {max(delays) / 1000:.2f} ms; "
              f"a line {line_us / 1000:.2f} ms ({BYTE_US:.0f} us a byte)")
        self.assertLessEqual(max(delays), 2 * line_us + SAMPLING_US)


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


if __name__ == "__main__":
    HARNESS, ELF = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    main(sys.argv[3:])

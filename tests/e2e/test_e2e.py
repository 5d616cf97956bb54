"""The shipped sensormidi binary, end to end, as a user runs it.

Usage: test_e2e.py BINARY RECORDER [unittest arguments]
"""

import os
import random
import signal
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "firmware", "test")]
from board import BOUNCE, MV_FULL, PITCH, VOLUME, Board  # noqa: E402
from model import Model  # noqa: E402
from rig import (EMULATOR, PORT, READ, SLEEPS, Program, Sensor, StopCases,  # noqa: E402
                 alternate, applied, assert_idle, enter_namespace, main, wait_for, wait_idle)

BINARY = RECORDER = None
OPENED = ["open hw:1,0,0 0", "nonblock 1"]
# A correct stop takes a few ms; one that finishes the one-second pause first takes ~1 s.
STOP_SECONDS = 0.25


def texts(calls):
    return [c.text for c in calls]


class Rig(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sensormidi-e2e-")
        self.sensors, self.programs = [], []

    def tearDown(self):
        for p in self.programs:
            p.stop()
        for s in self.sensors:
            s.unplug()

    def plug(self):
        sensor = Sensor()
        self.sensors.append(sensor)
        return sensor

    def start(self, **settings):
        sensor = self.sensors[-1] if self.sensors else None
        program = Program(BINARY, RECORDER, self.work, sensor, **settings)
        self.programs.append(program)
        return program

    def start_playing(self, **settings):
        """Started with the last sensor plugged, and note 69 sounding."""
        program = self.start(**settings)
        self.sensors[-1].send("300,400|0\r\n")
        self.wait_calls(program, 6)
        wait_idle(program, self.sensors[-1])
        return program

    def assert_no_cpu(self, program):
        assert_idle(self, program.pid)
        self.assertTrue(program.alive())

    def wait_calls(self, program, count):
        return wait_for(lambda: len(program.calls()) >= count and program.calls(),
                        what=f"{count} MIDI calls")

    def assert_clean_midi(self, program):
        for call in program.calls():
            self.assertNotIn("BADHANDLE", call.text)
            self.assertTrue(all(b < 0x80 for b in call.data[1:]), call.text)


class Playing(Rig):
    def test_typical_reading(self):
        sensor = self.plug()
        program = self.start()
        sensor.send("215,180|0\r\n")
        calls = self.wait_calls(program, 6)
        self.assertEqual(texts(calls), OPENED + ["write 80 00 00", "drain", "write 90 43 3c",
                                                 "drain"])
        wait_for(lambda: program.out == ["67"], what="the note log")
        self.assertTrue(program.alive())
        # Opened without becoming the controlling terminal of the session leader.
        self.assertEqual(program.tty(), 0)

    def test_mixed_lines_match_the_rules(self):
        rng = random.Random(1234)
        edges = [-99, -5, 0, 59, 60, 69, 70, 88, 89, 119, 120, 159, 160, 209, 210, 259, 260,
                 309, 310, 359, 360, 999]
        volumes = [-5, 0, 90, 91, 110, 111, 150, 151, 200, 201, 250, 251, 300, 301, 999]
        shapes = [
            lambda p, v: f"{p},{v}|0\r\n",
            lambda p, v: f"{p},{v}|0\n",
            lambda p, v: f"{v}|{p},0\r\n",
            lambda p, v: f"{p},0\r\n",
            lambda p, v: f"{v}|0\r\n",
            lambda p, v: "\r\n",
            lambda p, v: f"+{p},{v}|0\r\n",
            lambda p, v: f"{p}ab,x{v}|0\r\n",
            lambda p, v: f"{p}9999,{v}|00000\r\n",
            lambda p, v: f" {p},\t{v}|0\r\n",
        ]
        lines = []
        for i in range(300):
            p = rng.choice(edges) if rng.random() < 0.5 else rng.randint(-99, 999)
            v = rng.choice(volumes)
            lines.append(rng.choice(shapes)(p, v))
        lines[100] = "0,0|1\r\n"  # one instrument change, with its pause
        data = "".join(lines).encode()
        model = Model()
        model.feed(data)

        sensor = self.plug()
        program = self.start()
        sensor.send(data)
        self.wait_calls(program, len(OPENED) + len(model.calls))
        wait_idle(program, sensor)
        self.assertEqual(texts(program.calls()), OPENED + model.calls)
        wait_for(lambda: len(program.out) >= len(model.log), what="the note log")
        self.assertEqual(program.out, model.log)
        self.assertGreater(len(model.log), 50)

    def test_instrument_changes(self):
        sensor = self.plug()
        program = self.start()
        sensor.send("300,400|0\r\n" + "0,0|1\r\n" * 3 + "100,400|0\r\n")
        calls = self.wait_calls(program, 2 + 4 + 3 * 3 + 4)[2:]
        self.assertEqual(texts(calls), [
            "write 80 00 00", "drain", "write 90 45 64", "drain",
            "write 80 45 00", "drain", "write c0 65",
            "write 80 45 00", "drain", "write c0 42",
            "write 80 45 00", "drain", "write c0 68",
            "write 80 45 00", "drain", "write 90 3e 64", "drain"])
        for i, call in enumerate(calls):
            if call.text.startswith("write c0"):
                self.assertGreaterEqual(calls[i + 1].time - call.time, 1.0)

    def test_garbage_never_crashes_or_sends_bad_data(self):
        rng = random.Random(99)
        sensor = self.plug()
        program = self.start()
        for _ in range(20):
            # No digits: a switch field with one would pause a second per line.
            junk = bytes(rng.choice([0, 0xFF, 0x1B, 0x7F, 0x03, 0x04, 0x15, 0x11, 0x13, 0x0D,
                                     0x0A, 0x2C, 0x7C, 0x2D, 0x2B, 0x20, 0x80, 0xC0])
                         for _ in range(rng.randint(1, 200)))
            # One long line at a time: the port holds 4096 bytes, and a pty writer
            # that fills it can stall for seconds.
            for line in (junk + b"9" * 3000 + b",400|0\r\n", b"1" * 3000 + b"|0\r\n",
                         b"5" * 3000 + b",0\r\n"):
                sensor.send(line)
                wait_idle(program, sensor)
        sensor.send("100,400|0\r\n")
        wait_idle(program, sensor, timeout=60)
        self.assertTrue(program.alive())
        self.assert_clean_midi(program)
        self.assertTrue(any(c.text.startswith("write 90") for c in program.calls()))

    def test_idle_port_costs_nothing(self):
        self.plug()
        self.assert_no_cpu(self.start_playing())

    def test_closed_standard_output_does_not_stop_it(self):
        sensor = self.plug()
        program = self.start(closed_stdout=True)
        sensor.send("215,180|0\r\n100,400|0\r\n300,120|0\r\n")
        self.wait_calls(program, 2 + 12)
        wait_idle(program, sensor)
        self.assertTrue(program.alive())


class SensorPort(Rig):
    def test_absent_at_start_then_plugged(self):
        program = self.start()
        wait_for(lambda: program.err, what="the error line")
        self.assertEqual(program.err, [f"{PORT}: No such file or directory"])
        self.assert_no_cpu(program)
        self.assertEqual(program.err, [f"{PORT}: No such file or directory"])
        sensor = self.plug()
        wait_for(lambda: len(program.err) == 2, what="the port to be found")
        self.assertEqual(program.err[1], f"{PORT}: sensor connected")
        sensor.send("215,180|0\r\n")
        self.assertEqual(texts(self.wait_calls(program, 6)[2:]),
                         ["write 80 00 00", "drain", "write 90 43 3c", "drain"])

    def test_unplug_and_replug_keeps_the_sound_state(self):
        sensor = self.plug()
        program = self.start_playing()
        self.assertIn(sensor.name, program.files())
        sensor.unplug()
        wait_for(lambda: program.err, what="the loss to be reported")
        self.assertRegex(program.err[0], f"^{PORT}: sensor lost: ")
        # Held open, a real USB device would come back under another name.
        self.assertNotIn(sensor.name, program.files())
        self.assert_no_cpu(program)
        self.assertEqual(len(program.err), 1)
        sensor = self.plug()
        wait_for(lambda: len(program.err) == 2, what="the port to be found again")
        self.assertEqual(program.err[1], f"{PORT}: sensor connected")
        # The new device came with the defaults; the program applied its own again.
        self.assertTrue(applied(sensor.settings()))
        sensor.send("100,400|0\r\n")
        calls = self.wait_calls(program, 10)
        self.assertEqual(texts(calls[6:]), ["write 80 45 00", "drain", "write 90 3e 64", "drain"])
        wait_for(lambda: program.out == ["69", "62"], what="the note log")


class MidiOutput(Rig):
    def test_absent_output_is_skipped_and_costs_nothing(self):
        sensor = self.plug()
        program = self.start(MIDIREC_OPEN_OK_AT=0)
        wait_for(lambda: program.out, what="the open failure")
        self.assertEqual(program.out, ["Can't open MIDI output: No such file or directory"])
        sensor.send("300,400|0\r\n100,400|0\r\n300,400|0\r\n")
        wait_for(lambda: len(program.out) == 4, what="the note log")
        wait_idle(program, sensor)
        self.assertEqual([c for c in program.calls() if c.name != "open"], [])
        self.assert_no_cpu(program)
        opens = len(program.calls())
        self.assertLessEqual(opens, 2)

    def test_output_that_appears_later_is_used(self):
        sensor = self.plug()
        program = self.start(MIDIREC_OPEN_OK_AT=3)
        # Lines close together, so a retry that comes early shows.
        alternate(sensor.send, lambda: any(c.name == "write" for c in program.calls()),
                  spacing=0.05)
        wait_idle(program, sensor)
        calls = program.calls()
        opens = [c for c in calls if c.name == "open"]
        self.assertEqual(len(opens), 3)
        for a, b in zip(opens, opens[1:]):
            # The program counts whole milliseconds: 999.x ms apart is a second to it.
            self.assertGreaterEqual(b.time - a.time, 0.999)
        first_write = next(i for i, c in enumerate(calls) if c.name == "write")
        self.assertEqual(texts(calls[first_write - 2:first_write]), OPENED)
        wait_for(lambda: "hw:1,0,0: MIDI output open" in program.err, what="the open report")
        self.assert_clean_midi(program)

    def test_output_lost_while_playing_is_reopened_at_once(self):
        sensor = self.plug()
        program = self.start_playing(MIDIREC_FAIL_WRITE=2)
        sensor.send("100,400|0\r\n")
        calls = self.wait_calls(program, 14)
        self.assertEqual(texts(calls[6:]), ["write 80 45 00", "close"] + OPENED
                         + ["write 80 45 00", "drain", "write 90 3e 64", "drain"])
        wait_for(lambda: len(program.err) == 2, what="the loss and reopen reports")
        self.assertEqual(program.err, ["hw:1,0,0: MIDI output lost: No such device",
                                       "hw:1,0,0: MIDI output open"])


class Stopping(Rig, StopCases):
    STOPPED = ["write 80 45 00", "drain"]
    STOP_SECONDS = STOP_SECONDS

    def setUp(self):
        super().setUp()
        self.sensor = self.plug()

    def port_settings(self):
        return self.sensor.settings()

    def midi(self, count):
        return texts(self.wait_calls(self.programs[-1], count))

    def test_second_signal_ends_a_stuck_stop_at_once(self):
        program = self.start_playing(MIDIREC_HANG_DRAIN=2)
        program.proc.send_signal(signal.SIGTERM)
        wait_for(lambda: len(program.calls()) == 8, what="the stop's Note Off")
        self.assertTrue(program.alive())  # its drain never returns
        program.proc.send_signal(signal.SIGINT)
        program.proc.wait(5)
        self.assertEqual(program.proc.returncode, -signal.SIGINT)

    def test_stop_during_a_stuck_drain(self):
        program = self.start(MIDIREC_HANG_DRAIN=1)
        self.sensor.send("300,400|0\r\n")
        self.wait_calls(program, 6)
        wait_for(lambda: program.syscall() == READ, what="the drain to wait")
        program.proc.send_signal(signal.SIGTERM)
        program.proc.wait(5)
        self.assertEqual(program.proc.returncode, -signal.SIGTERM)
        self.assertEqual(texts(program.calls()[6:]), ["write 80 45 00", "drain"])

    def test_stop_during_the_pause(self):
        program = self.start()
        self.sensor.send("300,400|0\r\n0,0|1\r\n")
        self.wait_calls(program, 2 + 4 + 3)
        wait_for(lambda: program.syscall() in SLEEPS, what="the pause")
        sent = time.monotonic()
        program.proc.send_signal(signal.SIGTERM)
        program.proc.wait(5)
        self.assertLess(time.monotonic() - sent, STOP_SECONDS)
        self.assertEqual(program.proc.returncode, -signal.SIGTERM)
        self.assertEqual(texts(program.calls()[-2:]), ["write 80 45 00", "drain"])


class Firmware(Rig):
    """The reference sensor's firmware on simulated boards, its lines typed at the port:
    the Uno's serial line, and the Leonardo's own USB port as the host reads it."""

    def test_a_sweep_plays_the_scale_and_a_press_changes_the_instrument(self):
        harness = os.environ.get("SENSORMIDI_BOARD")
        if EMULATOR:
            self.skipTest("the native build plays the firmware")
        if not harness:
            why = "the firmware is not built (gcc-avr, arduino-mk, libsimavr-dev)"
            self.fail(why) if os.environ.get("CI") == "true" else self.skipTest(why)
        for name, mcu in (("SENSORMIDI_FIRMWARE", "atmega328p"),
                          ("SENSORMIDI_FIRMWARE_32U4", "atmega32u4")):
            with self.subTest(mcu):
                self.sweep(Board(harness, os.environ[name], mcu), mcu == "atmega32u4")

    def sweep(self, board, usb):
        self.addCleanup(board.close)
        if usb:
            board.run(200_000)
            board.open()
        sensor = self.plug()
        self.work = tempfile.mkdtemp(prefix="sensormidi-e2e-")  # the MIDI record of its own
        program = self.start()

        def run(microseconds):
            sent = len(board.lines)
            board.run(microseconds)
            for _, text in board.lines[sent:]:
                sensor.send(text)
        board.adc(VOLUME, MV_FULL)  # loud
        for millivolts in range(0, MV_FULL + 1, 25):  # 0 to 5 V in 4 s
            board.adc(PITCH, millivolts)
            run(20_000)
        press = BOUNCE + [(0, 500_000)] + BOUNCE + [(1, 300_000)]
        for level, microseconds in press:  # bouncing at both ends
            board.pin(level)
            run(microseconds)
        wait_idle(program, sensor)
        self.assertEqual(program.out, ["60", "62", "64", "65", "67", "69", "71", "72"])
        changes = [c.text for c in program.calls() if c.data[:1] == b"\xc0"]
        self.assertEqual(changes, ["write c0 65"])
        # The next board on a port of its own.
        program.stop()
        self.programs.remove(program)
        sensor.unplug()
        self.sensors.remove(sensor)


if __name__ == "__main__":
    BINARY, RECORDER = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    enter_namespace()
    main(sys.argv[3:])

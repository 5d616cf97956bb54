"""The sensor board in the simulator (board.c), driven from a test: voltages and
the switch in, the lines it sends out, each with its time in simulated microseconds.
An Uno (ATmega328P) sends on its serial line; a Leonardo (ATmega32U4) on its USB
port, once the test has opened it as Linux's cdc-acm does."""

import re
import subprocess

LINE = re.compile(rb"^(\d{1,3}),(\d{1,3})\|([01])\r\n$")
MV_FULL = 5000  # the board's supply, its analog reference
PITCH, VOLUME = 0, 1  # analog inputs A0, A1
# A switch's bounce as it closes or opens: (level, microseconds) steps, 4 ms in all.
BOUNCE = [(0, 300), (1, 700), (0, 400), (1, 1500), (0, 200), (1, 900)]


class Board:
    def __init__(self, harness, elf, mcu="atmega328p"):
        self.proc = subprocess.Popen([harness, elf, mcu], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.lines = []  # (microseconds, bytes), as sent
        self.descriptors = {}  # (32U4) "device", "config": their bytes
        self.now = 0

    def _say(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def adc(self, channel, millivolts):
        self._say(f"adc {channel} {millivolts}")

    def pin(self, level):
        self._say(f"pin {level}")

    def _until(self, last):
        """Reads the harness's output up to a line starting with `last`: that line's words."""
        while True:
            words = self.proc.stdout.readline().split()
            if not words:
                raise AssertionError(f"the simulator ended (status {self.proc.wait()})")
            if words[0] == last:
                return words
            if words[0] == "line":
                self.lines.append((int(words[1]), bytes.fromhex(words[2])))
            elif words[0] == "descriptor":
                self.descriptors[words[1]] = bytes.fromhex(words[2])

    def run(self, microseconds):
        """Runs the board; the lines it sent meanwhile are appended to `lines`."""
        self._say(f"run {int(microseconds)}")
        self.now = int(self._until("at")[1])
        return self.now

    def configure(self):
        """(32U4) The host enumerates the board: descriptors, configuration, line coding
        9600 8N1; DTR down."""
        self._say("open")
        self._until("open")

    def open(self):
        """(32U4) Opens the port as cdc-acm does: configured, DTR and RTS raised."""
        self.configure()
        self.dtr(True)

    def dtr(self, raised):
        """(32U4) The host raises or drops DTR and RTS."""
        self._say(f"dtr {int(raised)}")

    def readings(self, since=0):
        """(pitch, volume, switch) of each line sent since line `since`."""
        return [tuple(int(v) for v in LINE.match(text).groups()) for _, text in self.lines[since:]]

    def close(self):
        self.proc.stdin.close()
        status = self.proc.wait()
        self.proc.stdout.close()
        if status:
            raise AssertionError(f"the simulator ended with status {status}")

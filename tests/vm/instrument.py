"""The whole instrument, played by a scripted hand, in the virtual machine booted with
systemd and both packages installed: the sensor board simulated on the host at the
wall clock's pace (vm.py --board), its bytes crossing the drivers that a real board's
cross (wire.py: an Uno through the serial gadget and cdc-acm, a 32U4 board through
vhci-hcd and cdc-acm), the packaged service, the packaged synth picking QEMU's USB
audio device, which records on the host (vm.py --sound). A sequencer listener on card
1's port times each Note On. What was heard, the host checks once the machine is gone
(heard.py), from the line "HAND {...}" that this test prints.

Usage (inside the guest): instrument.py DEB SYNTH_DEB UNO.elf LEONARDO.elf LISTENER PASSES
       [unittest arguments]
PASSES: how many times the hand plays its 30 notes before the presses (the benchmark,
bench/hand-run, plays more than the test's one).
"""

import json
import os
import re
import statistics
import subprocess
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e"),
                os.path.join(HERE, "..", "..", "firmware", "test")]
import guest  # noqa: E402
from guest import MONITOR, PORT, ask, host_offset, wait  # noqa: E402
from rig import main, wait_for  # noqa: E402
from service import pid, run, wait_holding  # noqa: E402
from listen import percentile  # noqa: E402
from synth import READING, SETTINGS, SETUP, started  # noqa: E402
from test_firmware import millivolts  # noqa: E402

DEB = SYNTH_DEB = UNO = LEONARDO = LISTENER = None
PASSES = 1
VIRMIDI = "Virtual Raw MIDI 1-0:0"  # card 1's sequencer port, which the synth listens to
# The hand: each note from rest, loud, held, then a rest; up the scale, down, up from D,
# down, and D again: 30 notes, PASSES times; then presses, and three notes more.
SCALE_NOTES = (60, 62, 64, 65, 67, 69, 71, 72, 71, 69, 67, 65, 64, 62, 60,
               62, 64, 65, 67, 69, 71, 72, 71, 69, 67, 65, 64, 62, 60, 62)
AFTER_PRESSES = (64, 65, 67)
# The presses that each board's hand makes: the instruments go round four (piano first,
# then 101, 66, 104, 84); 101's sound outlasts a rest, so the hands pass it by and play
# the tenor saxophone (66) after their presses: the Uno two, the Leonardo four more.
PRESSES = {"Uno": 2, "Leonardo": 4}
HOLD_MS, REST_MS, PRESS_MS = 400, 800, 1500
LOUD, QUIET = millivolts(330, 350), millivolts(50, 350)  # velocity 100; silence
LOUD_LINE = re.compile(r",3[0-4]\d\|")  # a line with the volume at LOUD, about 330
PLUGGED_BACK = 60  # the note played once the Leonardo is plugged back
RATIO = 3  # the 32U4 board's lines leave at least this many times sooner


def pitch(note):
    return f"adc 0 {millivolts(READING[note], 400)}"


def script(presses, passes):
    """The hand's steps: (ms, command, what, note). A note is the volume raised from
    rest, the hand already at its pitch: one input moves, so a line never carries half a
    step. Each note comes up to 99 ms late, by its number, so that notes fall anywhere
    in a board's own cycle."""
    parts = (SCALE_NOTES * passes, AFTER_PRESSES)
    steps, at = [(0, pitch(parts[0][0]), "move", None)], 500
    for part, notes in enumerate(parts):
        for _ in range(presses if part else 0):
            steps += [(at, "pin 0", "press", None), (at + 100, "pin 1", "release", None)]
            at += PRESS_MS
        for n, note in enumerate(notes):
            late = len(steps) * 37 % 100
            steps += [(at + late, f"adc 1 {LOUD}", "note", note),
                      (at + late + HOLD_MS, f"adc 1 {QUIET}", "rest", None)]
            if n + 1 < len(notes) or part + 1 < len(parts):
                upcoming = notes[n + 1] if n + 1 < len(notes) else parts[part + 1][0]
                steps.append((at + late + HOLD_MS + REST_MS // 2, pitch(upcoming), "move", None))
            at += HOLD_MS + REST_MS
    return steps


def holds_port():
    """Whether the service still has a sensor port open, even one whose device is gone:
    until it lets go, cdc-acm gives the next board another name than /dev/ttyACM0."""
    fds = f"/proc/{pid()}/fd"
    return any(os.readlink(os.path.join(fds, fd)).startswith(PORT) for fd in os.listdir(fds))


class Lines:
    """A process's output lines as they come, each split into words."""

    def __init__(self, *command, stdin=None):
        self.proc = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE, text=True)
        self.lines = []
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            self.lines.append(line.split())


class Instrument(unittest.TestCase):
    """Each board plays the same hand; one machine for the class."""

    figures = {}

    @classmethod
    def setUpClass(cls):
        cls.sensor, _ = guest.devices(synth=False)
        guest.modprobe("vhci_hcd")
        run("dpkg", "-i", DEB, SYNTH_DEB)
        run(SETUP, "/", "1024", "4", "auto")
        run("sed", "-i", "s/^SAMPLE_RATE=.*/SAMPLE_RATE=48000/", SETTINGS)
        run("systemctl", "restart", "sensormidi-synth")
        cls.monitor = open(MONITOR, "r+b", buffering=0)
        before = len(started())
        ask(cls.monitor, "device_add", driver="usb-audio", id="dac0", audiodev="dac0",
            bus="xhci.0")
        cls.synth_line = wait(lambda: started()[before:], "the synth on the DAC")[0][1]
        cls.listener = Lines(LISTENER, VIRMIDI)
        wait(lambda: cls.listener.lines, "the listener")
        cls.wire = Lines(sys.executable, os.path.join(HERE, "wire.py"), stdin=subprocess.PIPE)

    @classmethod
    def tearDownClass(cls):
        cls.wire.proc.stdin.close()
        cls.listener.proc.kill()
        hand = {"accel": os.environ.get("VM_ACCEL"), "synth": cls.synth_line,
                "boards": cls.figures, "plugged_back": cls.plugged_back, "hold_ms": HOLD_MS}
        print("HAND " + json.dumps(hand), flush=True)

    def say(self, line):
        self.wire.proc.stdin.write(line + "\n")
        self.wire.proc.stdin.flush()

    def play(self, board, steps):
        """The hand's steps on the board: each step's host time, and each Note On's (host
        time, note) since the first step."""
        events, notes = len(self.wire.lines), len(self.listener.lines)
        first = host_offset(self.monitor)
        self.say("hand " + ";".join(f"{ms} {command}" for ms, command, _, _ in steps))
        done = wait_for(lambda: [e for e in self.wire.lines[events:] if e[0] == "done"],
                        steps[-1][0] / 1000 + guest.WAIT, f"the hand on the {board}")
        count = sum(what == "note" for _, _, what, _ in steps)
        heard = lambda: [e for e in self.listener.lines[notes:]
                         if e[1] != "program" and int(e[2]) > 0]
        wait(lambda: len(heard()) >= count, f"{count} Note Ons from the {board}")
        last = host_offset(self.monitor)
        offset = (first[1] + last[1]) / 2
        said = self.wire.lines[events:]
        made = [float(host) for word, _, host, _ in (e for e in said if e[0] == "step")]
        lags = [int(lag) for word, _, _, lag in (e for e in said if e[0] == "step")]
        # The lines that carry a note: the volume raised.
        lines = [float(e[1]) for e in said if e[0] == "line" and LOUD_LINE.search(e[2])]
        note_ons = [(float(t) + offset, int(n)) for t, n, _ in heard()]
        self.programs = [int(e[2]) for e in self.listener.lines[notes:] if e[1] == "program"]
        return made, lines, note_ons, (int(done[0][1]), lags), max(first[0], last[0])

    def wait_port(self, what):
        try:
            wait(lambda: os.path.exists(PORT), what)
        except AssertionError as e:
            raise AssertionError(f"{e}; the kernel said: {run('dmesg')[-3000:]}") from None

    def measure(self, board, elf, mcu):
        steps = script(PRESSES[board], PASSES)
        self.say(f"board {elf} {mcu}")
        if mcu == "atmega32u4":
            self.say("plug")
        self.wait_port(f"the {board}'s port")
        wait_holding()
        lines = len(self.wire.lines)
        wait(lambda: any(e[0] == "line" for e in self.wire.lines[lines:]),
             f"a line from the {board} with the port held")
        made, lines, note_ons, lag, trip = self.play(board, steps)
        played = [(t, note) for t, (_, _, what, note) in zip(made, steps) if what == "note"]
        self.assertEqual([n for _, n in note_ons], [n for _, n in played], "the notes played")
        # Each press a Program Change, the cycle from the piano on to the saxophone (66).
        self.assertEqual(self.programs, [101, 66, 104, 84, 101, 66][-PRESSES[board]:])
        to_line = [(next(line for line in lines if line > t) - t) * 1000 for t, _ in played]
        to_note_on = [(on - t) * 1000 for (t, _), (on, _) in zip(played, note_ons)]
        # The synth's own figure for each of these notes, MIDI to the card's output: QEMU's
        # DAC adds what no driver reports, which the host's recording shows.
        with open("/run/sensormidi-synth/notes") as f:
            synth = [(float(ms), flag == "1") for _, _, ms, flag in map(str.split, f)]
        Instrument.figures[board] = {
            "steps": [(t, what, note) for t, (_, _, what, note) in zip(made, steps)],
            "to_line": to_line, "to_note_on": to_note_on, "lag_us": lag[0],
            "trip_ms": trip * 1000,
            "synth_ms": [ms for ms, flagged in synth[-len(played):] if not flagged]}
        print(f"\n{board}, {len(played)} steps, median / 90th percentile: step to the line's "
              f"end leaving the board {statistics.median(to_line):.1f} / "
              f"{percentile(to_line, 0.9):.1f} ms, to the Note On "
              f"{statistics.median(to_note_on):.1f} / {percentile(to_note_on, 0.9):.1f} ms; "
              f"simavr behind the wall clock by {lag[0]} us at worst, at the steps "
              f"{statistics.median(lag[1])} us (median), {max(lag[1])} us at worst; clock "
              f"round trip {trip * 1000:.1f} ms", flush=True)

    def test_1_uno(self):
        self.sensor.gadget.plug()
        Instrument.instrument = pid()
        self.measure("Uno", UNO, "atmega328p")

    def test_2_leonardo(self):
        self.sensor.gadget.unplug()
        wait(lambda: not holds_port(), "the service to let the Uno go")
        self.measure("Leonardo", LEONARDO, "atmega32u4")
        self.assertEqual(pid(), self.instrument)

    def test_3_leonardo_unplugged_and_back(self):
        self.say("unplug")
        wait(lambda: not holds_port(), "the service to let the board go")
        self.say("plug")
        self.wait_port("the board plugged back")
        wait_holding()
        notes, events = len(self.listener.lines), len(self.wire.lines)
        self.say(f"hand 0 {pitch(PLUGGED_BACK)};300 adc 1 {LOUD}")
        wait(lambda: [n for _, n, v in self.listener.lines[notes:] if n != "program" and int(v)]
             == [str(PLUGGED_BACK)],
             "the next step's note")
        # The host's time of its step, the volume raised, as for the boards' steps.
        steps = wait_for(lambda: [e for e in self.wire.lines[events:] if e[0] == "step"][1:],
                         guest.WAIT, "the wire's report of the step")
        Instrument.plugged_back = (float(steps[0][2]), PLUGGED_BACK)
        self.assertEqual(pid(), self.instrument)

    def test_4_the_32u4_board_is_sooner(self):
        """Its line leaves at least RATIO times sooner, and so its Note On comes where the
        machine's own share is small (KVM); emulated, that share is most of the wait, and
        the Note On comes sooner by at least half what the line saves."""
        line, note_on = ({b: statistics.median(self.figures[b][key]) for b in ("Uno", "Leonardo")}
                         for key in ("to_line", "to_note_on"))
        print(f"\nmedian, Uno / Leonardo: to the line {line['Uno']:.1f} / "
              f"{line['Leonardo']:.1f} ms ({line['Uno'] / line['Leonardo']:.1f} times sooner), "
              f"to the Note On {note_on['Uno']:.1f} / {note_on['Leonardo']:.1f} ms "
              f"({note_on['Uno'] / note_on['Leonardo']:.1f} times sooner)", flush=True)
        self.assertGreaterEqual(line["Uno"] / line["Leonardo"], RATIO)
        if os.environ.get("VM_ACCEL") == "kvm":
            self.assertGreaterEqual(note_on["Uno"] / note_on["Leonardo"], RATIO)
        else:
            self.assertGreaterEqual(note_on["Uno"] - note_on["Leonardo"],
                                    (line["Uno"] - line["Leonardo"]) / 2)


if __name__ == "__main__":
    DEB, SYNTH_DEB, UNO, LEONARDO, LISTENER = map(os.path.abspath, sys.argv[1:6])
    PASSES = int(sys.argv[6])
    main(sys.argv[7:])

"""The whole instrument played on through faults and load, in the machine booted with
systemd and both packages installed: the Leonardo simulated on the host at the wall
clock's pace, through vhci-hcd (vm.py --board, wire.py), the synth on QEMU's DAC and
codec, which record on the host (vm.py --sound). A hand plays notes from rest all the
time, while a seeded schedule injects faults, each kind in turn, with quiet play between.
What was heard is counted on the host once the machine is gone (soak_heard.py), from the
line "SOAK {...}" printed here.

Usage (inside the guest): soak.py DEB SYNTH_DEB LEONARDO.elf LISTENER MINUTES SEED
       [unittest arguments]
MINUTES 0: each fault kind once (the test); more: the kinds again and again until then.
"""

import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]
import guest  # noqa: E402
from guest import MONITOR, ask, host_offset  # noqa: E402
from instrument import (HOLD_MS, LOUD, LOUD_LINE, QUIET, VIRMIDI, Lines,  # noqa: E402
                        holds_port, pitch)
from rig import main, wait_for  # noqa: E402
from service import journal, pid, prop, run, wait_holding  # noqa: E402
from synth import SETTINGS, SYNTH, program, started, status, underruns  # noqa: E402

DEB = SYNTH_DEB = LEONARDO = LISTENER = None
MINUTES, SEED = 0, 0
INSTRUMENT = "sensormidi"
NOTES = (60, 64, 67, 72, 69, 65, 62, 71)  # the hand's round, each note from rest
QUIET_NOTES = 6  # played between two faults
# The rest after each note: a saxophone's release (program 66, which the hand plays) must
# fall silent for 0.3 s before the next onset, for the host to hear each note alone.
REST_MS = 1200
# Each fault kind, and the seconds from its injection within which the next note must be
# heard, which also ends its window: twice the median recovery of the hour's run of
# 2026-12-10 (docs/reliability.md), and 3 s.
MEDIANS = {"sensor": 7.0, "dac": 0.8, "synth-killed": 5.4, "synth-frozen": 9.8,
           "instrument-killed": 5.2, "busy": 0.8, "garbage": 12.8}
BOUNDS = {kind: round(2 * median + 3, 1) for kind, median in MEDIANS.items()}
RESTARTS = {"synth-killed": SYNTH, "synth-frozen": SYNTH, "instrument-killed": INSTRUMENT}
# The quiet tail: minutes of play without faults at the end (of a long run; 2 in the test's),
# over which nothing of either program may grow: resident memory within this (kB), its
# descriptors and threads not at all. It is sampled each minute.
TAIL_SHARE, TAIL_LEAST = 0.25, 2
GROWTH_KB = 256
# Underruns a load on both processors may cost once auto's period has climbed.
BUSY_UNDERRUNS = 3
# Auto settles before the hand plays: no climb for this long, or its longest period.
SETTLE = 30
CLIMBED = re.compile(r"sensormidi-synth: (.*) at (\d+) frames: now (\d+) frames")


def footprint(unit):
    """Resident memory (kB), open descriptors and threads of the unit's process."""
    process = pid(unit)
    with open(f"/proc/{process}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {"rss_kb": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{process}/fd"))}


class Soak(unittest.TestCase):
    faults, plugs, said, buffer_ms, climbed = [], 1, threading.Lock(), None, 0

    @classmethod
    def setUpClass(cls):
        cls.sensor, _ = guest.devices(synth=False)
        guest.modprobe("vhci_hcd")
        guest.modprobe("snd_hda_intel")  # the codec, where the synth goes while the DAC is out
        run("dpkg", "-i", DEB, SYNTH_DEB)
        # The settings as shipped (PERIOD_SIZE=auto from 64 frames), the output picked:
        # QEMU's DAC, and its codec while the DAC is out. QEMU's devices play at 48 kHz.
        with open(SETTINGS) as f:
            assert re.search(r"(?m)^PERIOD_SIZE=auto$", f.read()), "auto, as shipped"
        run("sed", "-i", "s/^SAMPLE_RATE=.*/SAMPLE_RATE=48000/", SETTINGS)
        run("systemctl", "restart", SYNTH)
        cls.booted = time.monotonic()
        cls.monitor = open(MONITOR, "r+b", buffering=0)
        before = len(started())
        ask(cls.monitor, "device_add", driver="usb-audio", id="dac0", audiodev="dac0",
            bus="xhci.0")
        wait_for(lambda: [line for _, line in started()[before:] if " Audio " in line],
                 guest.WAIT, "the synth on the DAC")
        cls.listener = Lines(LISTENER, VIRMIDI)
        wait_for(lambda: cls.listener.lines, guest.WAIT, "the listener")
        cls.wire = Lines(sys.executable, os.path.join(HERE, "wire.py"), stdin=subprocess.PIPE)

    @classmethod
    def tearDownClass(cls):
        cls.wire.proc.stdin.close()
        cls.wire.proc.wait(guest.WAIT)
        cls.listener.proc.kill()

    def say(self, line):
        with self.said:  # the hand's thread says too
            self.wire.proc.stdin.write(line + "\n")
            self.wire.proc.stdin.flush()

    def hand(self, notes, presses=0):
        """Plays the notes from rest, after the presses; returns once the hand is done."""
        steps, at = [], 0
        for _ in range(presses):
            steps += [(at, "pin 0"), (at + 100, "pin 1")]
            at += 1500
        for note in notes:
            steps += [(at, pitch(note)), (at + REST_MS // 2, f"adc 1 {LOUD}"),
                      (at + REST_MS // 2 + HOLD_MS, f"adc 1 {QUIET}")]
            at += HOLD_MS + REST_MS
        events = len(self.wire.lines)
        self.say("hand " + ";".join(f"{ms} {command}" for ms, command in steps))
        wait_for(lambda: any(e[0] == "done" for e in self.wire.lines[events:]),
                 at / 1000 + guest.WAIT, "the hand")

    def playing(self):
        """The hand, on and on in a thread of its own, until `stop` is set."""
        self.stop, count = threading.Event(), 0
        while not self.stop.is_set():
            self.hand([NOTES[(count + i) % len(NOTES)] for i in range(4)])
            count += 4

    def plug_board(self):
        """Attaches the Leonardo, until the instrument holds its port. Watched from /proc,
        not by opening the port: an open raises DTR, the board sends the line it holds, and
        the probe's close throws it away while the hand plays on."""
        self.say("plug")
        wait_for(lambda: os.path.exists(guest.PORT) and holds_port(), guest.WAIT,
                 "the instrument to hold the board's port")

    def now(self):
        """The host's clock now, for the host's count: a fault's moment is taken just as it
        is made."""
        return self.offset + time.monotonic()

    def inject(self, kind):
        """Makes the fault, and notes its kind, its moment and the synth's buffer then."""
        self.offset = host_offset(self.monitor)[1]
        # (As last said, should the synth be between outputs now.)
        said = re.search(r" = ([\d.]+) ms", status())
        self.buffer_ms = float(said.group(1)) if said else self.buffer_ms
        buffer = {"buffer_ms": self.buffer_ms}
        back = None
        if kind == "sensor":
            before = pid(INSTRUMENT)
            at = self.now()
            self.say("unplug")
            time.sleep(5)
            self.plug_board()
            back = self.now()
            self.assertEqual(pid(INSTRUMENT), before)
        elif kind == "dac":
            before = pid(SYNTH)
            at = self.now()
            ask(self.monitor, "device_del", id=f"dac{self.plugs - 1}")
            wait_for(lambda: "CARD=Intel" in status(), guest.WAIT, "the synth on the codec")
            time.sleep(10)
            plugged = self.now()
            ask(self.monitor, "device_add", driver="usb-audio", id=f"dac{self.plugs}",
                audiodev=f"dac{self.plugs}", bus="xhci.0")
            Soak.plugs += 1
            wait_for(lambda: "CARD=Audio" in status(), guest.WAIT, "the synth on the DAC")
            # Following the DAC back cuts what sounds as the unplug did: a window of its own.
            buffer["replugged"] = [plugged, self.now()]
            self.assertEqual(pid(SYNTH), before)
            # Each follow leaves the synth as the first left it.
            self.follows.append({k: v for k, v in footprint(SYNTH).items() if k != "rss_kb"})
        elif kind in ("synth-killed", "synth-frozen", "instrument-killed"):
            unit = RESTARTS[kind]
            before = pid(unit)
            at = self.now()
            os.kill(before, signal.SIGSTOP if kind == "synth-frozen" else signal.SIGKILL)
            # (Its recovery is judged on the host; this waits long for a loaded machine.)
            wait_for(lambda: pid(unit) not in (0, before) and prop("ActiveState", unit) == "active",
                     4 * BOUNDS[kind], f"{unit} restarted")
            if unit == SYNTH:
                wait_for(lambda: program() == 66, guest.WAIT, "the program kept")
            else:
                wait_for(holds_port, guest.WAIT, "the instrument to hold its port")
            # How long systemd and the start take is the emulator's pace; from here on,
            # the product's.
            back = self.now()
            self.follows = [] if unit == SYNTH else self.follows
        elif kind == "busy":
            # Both processors busy for 30 s, bounded: a shell's own loop, no new package.
            before = underruns()
            at = self.now()
            busy = [subprocess.Popen(["timeout", "30", "sh", "-c", "while :; do :; done"])
                    for _ in range(2)]
            for process in busy:
                process.wait()
            climbs = len(self.climbs())
            self.faults.append({"kind": kind, "at": at, "underruns": underruns() - before,
                                "climbs": climbs - self.climbed} | buffer)
            self.climbed = climbs
            return
        elif kind == "garbage":
            at = self.now()
            self.garbage()
            back = self.now()
        # The moment what the fault took out is back: the hand's board, or the unit.
        self.faults.append({"kind": kind, "at": at} | buffer | ({"back": back} if back else {}))

    def garbage(self):
        """Through the Uno's path, with the Leonardo out: binary noise, overlong fields, no
        line end for 10 s, then good lines; from the second on, they play (the first joins
        the garbage)."""
        self.say("unplug")
        wait_for(lambda: not holds_port(), guest.WAIT, "the board let go")
        self.sensor.plug()
        wait_holding()
        # Noise without a line end (the port turns CR into one), and fields of 8 characters.
        rng = random.Random(SEED)
        noise = bytes(rng.randrange(256) for _ in range(300)).translate(None, b"\r\n")
        self.sensor.send(noise.decode("latin-1") + "123456789,98765432|55555" * 20)
        time.sleep(10)
        notes = len(self.listener.lines)
        # The first good line, silence, ends the garbage's; the second plays note 71 (a
        # reading that no hand's note has, so that the movement gate passes it).
        for reading in ("30,50|0\r\n", "355,400|0\r\n", "355,50|0\r\n"):
            self.sensor.send(reading)
            time.sleep(0.5)
        wait_for(lambda: "71" in [e[1] for e in self.listener.lines[notes:]], guest.WAIT,
                 "the second good line's note")
        self.sensor.unplug()
        wait_for(lambda: not holds_port(), guest.WAIT, "the gadget let go")
        self.plug_board()

    def climbs(self):
        """Auto's climbs and descents since the synth's settings: (seconds since, from, to)."""
        return [(round(at - self.booted, 1), int(m.group(2)), int(m.group(3)))
                for at, m in ((at, CLIMBED.search(line)) for at, line in self.journal_since())
                if m]

    def journal_since(self):
        """The synth's lines since boot, each with its moment on this clock."""
        entries = map(json.loads, run("journalctl", "-b", "-u", SYNTH, "-o", "json").splitlines())
        offset = time.monotonic() - float(run("cat", "/proc/uptime").split()[0])
        return [(int(e["__MONOTONIC_TIMESTAMP"]) / 1e6 + offset, e["MESSAGE"]) for e in entries
                if isinstance(e.get("MESSAGE"), str)]

    def settle(self):
        """Until auto's period has settled: no climb for SETTLE s, or at its longest."""
        def settled():
            climbs = self.climbs()
            last = climbs[-1][0] + self.booted if climbs else self.booted
            return (climbs and climbs[-1][2] == 2048) or time.monotonic() - last >= SETTLE
        wait_for(lambda: time.sleep(1) or settled(), 600, "auto's period to settle")
        self.climbed = len(self.climbs())

    def test_through_faults(self):
        rng = random.Random(SEED)
        print(f"\nsoak: seed {SEED}, {MINUTES or 'each fault once'} minutes", flush=True)
        self.settle()
        self.say(f"board {LEONARDO} atmega32u4")
        self.plug_board()
        # Presses to the saxophone (66), whose program each restart must keep.
        self.hand([], presses=2)
        wait_for(lambda: program() == 66, guest.WAIT, "the saxophone")
        self.follows = []
        began = time.monotonic()
        hand = threading.Thread(target=self.playing)
        hand.start()
        kinds = list(BOUNDS)
        schedule = rng.sample(kinds, len(kinds))
        faulting = MINUTES * 60 * (1 - TAIL_SHARE)
        while True:
            for kind in schedule:
                time.sleep(QUIET_NOTES * (HOLD_MS + REST_MS) / 1000)
                self.inject(kind)
            if time.monotonic() - began >= faulting:
                break
            schedule = rng.sample(kinds, len(kinds))
        # The quiet tail: both programs' footprints each minute (each fault ended once what
        # it took out was back).
        tail = max(TAIL_LEAST, MINUTES * TAIL_SHARE)
        samples = []
        for minute in range(int(tail) + 1):
            if minute:
                time.sleep(60)
            samples.append({unit: footprint(unit) for unit in (INSTRUMENT, SYNTH)})
        self.stop.set()
        hand.join()
        offset = host_offset(self.monitor)[1]
        lines = [e for e in self.wire.lines if e[0] == "line"]
        heard = [e for e in self.listener.lines[1:]]
        restarts = {unit: int(prop("NRestarts", unit)) for unit in (INSTRUMENT, SYNTH)}
        hours = (time.monotonic() - began) / 3600
        notes_logged = sum(line.isdigit() for line in journal(INSTRUMENT))
        soak = {
            "seed": SEED, "minutes": MINUTES, "accel": os.environ.get("VM_ACCEL"),
            "faults": self.faults, "bounds": BOUNDS, "plugs": Soak.plugs, "hold_ms": HOLD_MS,
            "cycle_ms": HOLD_MS + REST_MS, "tail_minutes": tail,
            # What the hand's lines carried, and the Note Ons and Program Changes heard at
            # card 1's port, on the host's clock.
            # The lines that raised the volume: each must give a Note On (the board also
            # sends the last values again while still).
            "lines": [float(e[1]) for e, before in zip(lines[1:], lines)
                      if LOUD_LINE.search(e[2]) and not LOUD_LINE.search(before[2])],
            "note_ons": [(float(t) + offset, int(n)) for t, n, v in heard
                         if n != "program" and int(v)],
            "programs": [int(v) for _, n, v in heard if n == "program"],
            "restarts": restarts,
            "expected_restarts": {unit: sum(RESTARTS.get(f["kind"]) == unit for f in self.faults)
                                  for unit in (INSTRUMENT, SYNTH)},
            "tail": samples, "follows": self.follows, "climbs": self.climbs(),
            "journal_bytes_per_hour": {
                SYNTH: len("\n".join(journal(SYNTH)).encode()) / hours,
                INSTRUMENT + " (notes)": sum(len(line) + 1 for line in journal(INSTRUMENT)
                                             if line.isdigit()) / hours,
                INSTRUMENT + " (else)": sum(len(line) + 1 for line in journal(INSTRUMENT)
                                            if not line.isdigit()) / hours},
            "notes_logged": notes_logged, "synth_status": status(), "hours": hours}
        print("SOAK " + json.dumps(soak), flush=True)
        self.assertEqual(restarts, soak["expected_restarts"])
        # Over the quiet tail, nothing grows; each follow of the DAC left what the first did.
        for unit in (INSTRUMENT, SYNTH):
            first, last = samples[0][unit], samples[-1][unit]
            self.assertEqual([(s[unit]["fds"], s[unit]["threads"]) for s in samples],
                             [(first["fds"], first["threads"])] * len(samples), unit)
            self.assertLessEqual(last["rss_kb"] - first["rss_kb"], GROWTH_KB, unit)
        self.assertEqual(self.follows, self.follows[:1] * len(self.follows))
        # A load costs a few underruns once auto has climbed; the climbs it causes are said.
        for fault in self.faults:
            if fault["kind"] == "busy" and not fault["climbs"]:
                self.assertLessEqual(fault["underruns"], BUSY_UNDERRUNS, fault)


if __name__ == "__main__":
    DEB, SYNTH_DEB, LEONARDO, LISTENER = map(os.path.abspath, sys.argv[1:5])
    MINUTES, SEED = float(sys.argv[5]), int(sys.argv[6])
    main(sys.argv[7:])

"""Latency to the ear with the software synth package, inside the virtual machine
of tests/vm booted with both packages installed: from a line written into the USB
sensor's side of the serial link to the first audio of its note, recorded from
the loopback card that FluidSynth plays into. Beside it, the delay that the
output buffer alone makes (periods x frames / rate).

Usage (inside the guest; bench/synth-run boots it): synth_bench.py [NOTES [PERIOD_SIZE...]]
(100 notes; the shipped period size, 256 and 1024; the shipped number of periods)
"""

import os
import re
import statistics
import subprocess
import sys
import threading
import time

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "vm"), os.path.join(HERE, "..", "tests", "e2e")]
import guest  # noqa: E402
from service import prop, run  # noqa: E402
from synth import RATE, arecord, level  # noqa: E402

CHUNK = 240  # the capture's period: 5 ms, the figures' resolution
SHIPPED = os.path.join(HERE, "..", "dist", "synth", "default")


class Ear:
    """The loopback's capture side, read chunk by chunk, each with its time of arrival."""

    def __init__(self):
        self.proc = arecord(1, CHUNK, "-", stdout=subprocess.PIPE)
        self.heard = []  # (arrival, level in dBFS)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while chunk := self.proc.stdout.read(CHUNK * 2):
            self.heard.append((time.monotonic(), level(numpy.frombuffer(chunk, "<i2") / 32768)))

    def wait(self, loud, since):
        """The arrival of the first chunk after `since` that is loud (or quiet)."""
        def found():
            return next((t for t, db in self.heard[since:] if (db > -50) == loud), None)
        return guest.wait(found, f"the synth to go {'loud' if loud else 'quiet'}")


def measure(sensor, ear, count):
    out = []
    for i in range(count):
        since = len(ear.heard)
        sent = time.monotonic()
        sensor.send(["100,400|0\r\n", "300,400|0\r\n"][i % 2])
        out.append((ear.wait(True, since) - sent) * 1000)
        since = len(ear.heard)
        sensor.send("300,50|0\r\n")
        ear.wait(False, since)
        time.sleep(0.2)  # the release ends
    return sorted(out)


def main():
    with open(SHIPPED) as f:
        shipped = dict(re.findall(r"(?m)^(\w+)=(\S*)$", f.read()))
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    sizes = sys.argv[2:] or [shipped["PERIOD_SIZE"], "256", "1024"]
    guest.wait(lambda: prop("ActiveState") == "active", "the instrument")
    sensor, _ = guest.devices(synth=False)
    sensor.plug()
    rows = []
    periods = int(shipped["PERIODS"])
    for size in sizes:
        run(os.path.join(HERE, "..", "tests", "vm", "synth-settings.sh"), "/", size, str(periods))
        run("systemctl", "restart", "sensormidi-synth")
        ear = Ear()
        guest.wait(lambda: guest.applied(guest.port_settings()), "the port settings")
        ms = measure(sensor, ear, count)
        ear.proc.terminate()
        figures = (periods * int(size) / RATE * 1000, statistics.median(ms), ms[len(ms) * 9 // 10],
                   ms[-1])
        rows.append((f"{periods} x {size}", *(f"{v:.1f}" for v in figures)))
    print(f"{count} notes each (and as many silencing lines), {os.environ.get('VM_ACCEL')}, "
          "line written at the sensor gadget to the first audio of its note, in ms")
    print("| buffer (frames) | buffer alone | median | 90th percentile | worst |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()

"""Latency to the ear with the software synth package, inside the virtual machine
of tests/vm booted with both packages installed: from a line written into the USB
sensor's side of the serial link to the first audio of its note, recorded from
the loopback card that FluidSynth plays into. Beside it, the delay that the
output buffer alone makes (periods x frames / rate).
Then the same lines to QEMU's USB audio device and, once it is unplugged, to its
codec (vm.py --sound), each picked by the synth itself: their recordings are on the host, so this prints the
host's time of each line (asked of vm.py just before it) on a line starting
"CARDS ", and bench/cards_latency.py times them there.

Usage (inside the guest; bench/synth-run boots it): synth_bench.py [NOTES [PERIOD_SIZE...]]
(100 notes; the shipped period size, 256 and 1024; the shipped number of periods)
"""

import json
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
from listen import RATE, level  # noqa: E402
from guest import MONITOR, ask  # noqa: E402
from synth import READING, CardEvents, arecord  # noqa: E402

CHUNK = 240  # the capture's period: 5 ms, the figures' resolution
SHIPPED = os.path.join(HERE, "..", "dist", "synth", "default")
SETTINGS = os.path.join(HERE, "..", "tests", "vm", "synth-settings.sh")
LINES = ("100,400|0\r\n", "300,400|0\r\n")  # two notes in turn, then silence
QUIET = "300,50|0\r\n"
CARDS = (("1024", "4"), 30)  # the buffer that the emulated synth keeps up with; notes


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
        sensor.send(LINES[i % 2])
        out.append((ear.wait(True, since) - sent) * 1000)
        since = len(ear.heard)
        sensor.send(QUIET)
        ear.wait(False, since)
        time.sleep(0.2)  # the release ends
    return sorted(out)


def cpu_seconds(pid):
    """The CPU time a process has used, all its threads, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def hand(sensor):
    """A fast hand: the scale up and down twice a second, legato, on the piano and then on
    program 101, whose release lasts 5 s: the tails that a synth must voice or cut."""
    for program in range(2):
        for i in range(60):
            note = (60, 62, 64, 65, 67, 69, 71, 72, 71, 69, 67, 65, 64, 62)[i % 14]
            sensor.send(f"{READING[note]},400|0\r\n")
            time.sleep(0.25)
        sensor.send("30,50|1\r\n")  # the next instrument: 101
        time.sleep(1.5)


def cpu(sensor, font):
    """The CPU that each synth takes per second of sound, the same hand played through each
    in turn to the loopback card at 4 x 1024 frames: sensormidi-synth with its settings,
    the fluidsynth program with FluidSynth's own defaults, and with the synth's polyphony
    and chorus; the ratios."""
    run(SETTINGS, "/", "1024", "4")
    run("systemctl", "restart", "sensormidi-synth")
    guest.wait(lambda: guest.applied(guest.port_settings()), "the port settings")
    rows = {}
    began, used = time.monotonic(), cpu_seconds(prop("MainPID", "sensormidi-synth"))
    hand(sensor)
    rows["sensormidi-synth (12 voices, reverb, no chorus)"] = (
        (cpu_seconds(prop("MainPID", "sensormidi-synth")) - used) / (time.monotonic() - began))
    run("systemctl", "stop", "sensormidi-synth")
    for name, options in (("fluidsynth, FluidSynth's defaults (256 voices, reverb, chorus)", []),
                          ("fluidsynth, the synth's 12 voices and no chorus",
                           ["-o", "synth.polyphony=12", "-o", "synth.chorus.active=0"])):
        # Its shell reads a pipe that nobody writes to: it runs until killed.
        shell = subprocess.Popen(["sleep", "infinity"], stdout=subprocess.PIPE)
        cli = subprocess.Popen(["fluidsynth", "-a", "alsa", "-m", "alsa_seq", "-o",
                                "midi.autoconnect=1", "-o", "audio.alsa.device=plughw:Loopback",
                                "-r", str(RATE), "-z", "1024", "-c", "4", "-g", "0.6", *options,
                                font], stdin=shell.stdout, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        guest.wait(lambda: "FLUID Synth" in run("aconnect", "-l"), "the fluidsynth program")
        time.sleep(2)  # its font loaded and its output running
        began, used = time.monotonic(), cpu_seconds(cli.pid)
        hand(sensor)
        rows[name] = (cpu_seconds(cli.pid) - used) / (time.monotonic() - began)
        cli.kill()
        shell.kill()
        cli.wait()
    run("systemctl", "start", "sensormidi-synth")
    ours, theirs, equal = rows.values()
    print(f"CPU per second of sound, {os.environ.get('VM_ACCEL')}, the same hand through each:")
    print("| synth | CPU ms per second of sound |")
    print("|---|---|")
    for name, seconds in rows.items():
        print(f"| {name} | {seconds * 1000:.0f} |")
    print(f"sensormidi-synth against fluidsynth: {ours / theirs:.2f} with each one's settings, "
          f"{ours / equal:.2f} at the same settings", flush=True)


def host_clock(port):
    """The host's monotonic clock now, from vm.py: its reading plus half the round trip;
    and the round trip."""
    asked = time.monotonic()
    port.write(b'{"execute": "host-clock"}\n')
    host = json.loads(port.readline())["return"]
    trip = time.monotonic() - asked
    return host + trip / 2, trip


def cards(sensor):
    """The lines to the USB DAC and then, once it is unplugged, to the codec, the synth
    following each (timed from udev's event to its line); their host times and the synth's
    lines, for the host."""
    (size, periods), count = CARDS
    run(SETTINGS, "/", size, periods, "auto")
    run("systemctl", "restart", "sensormidi-synth")
    events = CardEvents()
    said, sent, trips, follows = {}, {}, [], {}
    with open(MONITOR, "r+b", buffering=0) as port:
        # The codec's driver is kept from loading at boot: loaded, the synth stays on the
        # DAC; the DAC unplugged, it follows to the codec.
        plugs = (("dac0", "change", lambda: ask(port, "device_add", driver="usb-audio",
                                                id="dac0", audiodev="dac0", bus="xhci.0")),
                 ("hda", "remove", lambda: ask(port, "device_del", id="dac0")))
        for recording, action, plug in plugs:
            follows[recording], said[recording] = events.followed(action, plug)
            if recording == "dac0":
                guest.modprobe("snd_hda_intel")
            sent[recording] = []
            for i in range(count):
                host, trip = host_clock(port)
                sensor.send(LINES[i % 2])
                sent[recording].append(host)
                trips.append(trip)
                time.sleep(0.5)  # the note held, then its release, over at -50 dBFS
                sensor.send(QUIET)
                time.sleep(1.5)
    print("CARDS " + json.dumps({"accel": os.environ.get("VM_ACCEL"), "sent": sent,
                                 "said": said, "trip": statistics.median(trips),
                                 "follows": follows}), flush=True)


def main():
    with open(SHIPPED) as f:
        shipped = dict(re.findall(r"(?m)^(\w+)=(\S*)$", f.read()))
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    sizes = sys.argv[2:] or ["64", "256", "1024"]
    guest.wait(lambda: prop("ActiveState") == "active", "the instrument")
    sensor, _ = guest.devices(synth=False)
    sensor.plug()
    rows = []
    periods = int(shipped["PERIODS"])
    for size in sizes:
        run(SETTINGS, "/", size, str(periods))
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
    cpu(sensor, shipped["SOUND_FONT"])
    cards(sensor)


if __name__ == "__main__":
    main()

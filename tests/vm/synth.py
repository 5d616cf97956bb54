"""The software synthesizer package (sensormidi-synth) with the instrument, in the
virtual machine booted with systemd: card 1 is the kernel's virtual MIDI card and
the synth plays into a loopback sound card (snd-aloop), whose capture side the
test records and listens to; or, in the Cards case, into QEMU's sound cards
(vm.py --sound), whose recordings recorded.py checks on the host. The USB sensor
of guest.py; no USB synth.

Usage (inside the guest): synth.py DEB SYNTH_DEB [unittest arguments]
"""

import ctypes
import glob
import json
import os
import re
import signal
import stat
import statistics
import subprocess
import sys
import threading
import time
import unittest

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]
import guest  # noqa: E402
from guest import MONITOR, ask, port_settings, wait  # noqa: E402
from rig import applied, main, wait_for  # noqa: E402
from listen import HOLD, PLUGGED, RATE, REST, SILENCE, is_note, level  # noqa: E402
from service import (UNIT, journal, pid, prop, run, unattended, upgrade,  # noqa: E402
                     wait_holding)

DEB = SYNTH_DEB = LISTENER = CAPTURE = None
SYNTH = "sensormidi-synth"
SETTINGS = "/etc/default/sensormidi-synth"
# What the test itself leaves (synth-settings.sh): the loopback card at boot.
OWN = "/etc/modules-load.d/sensormidi-test.conf"
# The booted system's written layer and the host's root under it (init.sh binds them).
UPPER, LOWER = "/vm/upper", "/vm/lower"
SETUP = os.path.join(HERE, "synth-settings.sh")
# The synth's lines: the one it says for each output it plays through, and the one when it
# has no output.
PLAYING = re.compile(r"sensormidi-synth: playing through card (\d+) (\S+) \((.*)\) as (\S+), "
                     r"buffer (\d+) x (\d+) frames at (\d+) Hz = ([\d.]+) ms")
NO_OUTPUT = "sensormidi-synth: no sound output to play through"
# Seconds from udev's event about a card to the synth's line that it follows it, emulated;
# the aim on a real box is half a second.
FOLLOW = 3
# systemd's watchdog and its wait for a frozen process (the unit's WatchdogSec= and
# TimeoutAbortSec=), then the restart (RestartSec=) and the font's load, emulated.
FROZEN = 5 + 5 + 15
PTRACE_SEIZE, PTRACE_INTERRUPT = 0x4206, 0x4207  # <sys/ptrace.h>
WALL = 0x40000000  # waitpid's __WALL: a traced thread's stops and end
# PERIOD_SIZE=auto's climb: its line, the underruns that make it, and how long the test
# lets it take to settle (5 doublings from 64 frames, a minute each at worst) and watches it
# calm.
CLIMBED = re.compile(r"sensormidi-synth: 3 underruns in 60 s at \d+ frames: now (\d+) frames")
CLIMB_UNDERRUNS, AUTO_LAST = 3, 2048
SETTLING, SETTLE = 420, 30
# A pitch reading for each note.
READING = {60: 30, 62: 100, 64: 130, 65: 180, 67: 215, 69: 300, 71: 330, 72: 380}
ASKED = 44100  # the sample rate asked for in the sound card test


def arecord(channels, period, into, **popen):
    """Records what the loopback card plays, 16-bit at RATE, `period` frames at a time
    (a second held should the reader fall behind), into a file (or "-", standard output)."""
    return subprocess.Popen(["arecord", "-q", "-D", "plughw:Loopback,1,0", "-f", "S16_LE",
                             "-r", str(RATE), "-c", str(channels), f"--period-size={period}",
                             f"--buffer-size={RATE}", "-t", "raw", into], **popen)


class Recording:
    """What the loopback card plays, recorded as it goes (16-bit stereo)."""

    def __init__(self):
        self.path = os.path.join(os.environ.get("VM_OUT", "/tmp"), "synth.raw")
        # Short periods: the file keeps up with the card, so its length tells the time.
        self.proc = arecord(2, 1200, self.path)
        wait(lambda: self.now(), "the recording to start")

    def now(self):
        """Frames recorded so far: the recording's clock."""
        return os.path.getsize(self.path) // 4 if os.path.exists(self.path) else 0

    def listen(self, start, begin, end):
        """The sound from `begin` to `end` seconds after frame `start`, in mono."""
        first, last = start + int(begin * RATE), start + int(end * RATE)
        wait(lambda: self.now() >= last, "the recording to go on")
        with open(self.path, "rb") as f:
            f.seek(first * 4)
            data = f.read((last - first) * 4)
        return numpy.frombuffer(data, "<i2").reshape(-1, 2).mean(axis=1) / 32768

    def onset(self, start):
        """The first frame after `start` where sound begins, within two seconds."""
        chunk = RATE // 100
        for first in range(start, start + 2 * RATE, chunk):
            if level(self.listen(first, 0, chunk / RATE)) > SILENCE + 10:
                return first
        raise AssertionError("no sound within 2 s of the line")

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(30)
        os.unlink(self.path)  # the next recording's length must start at 0


def released(deb):
    """The package of the same name as 1.2 released it, built from its commit by the
    packaging test: its synth the fluidsynth program with its scripts."""
    name = os.path.basename(deb).split("_")[0]
    found = glob.glob(os.path.join(os.path.dirname(deb), "1.2", f"{name}_1.2_*.deb"))
    assert len(found) == 1, found
    return found[0]


def files():
    """What has been made or deleted under /etc, /usr and /var/lib but dpkg's own
    records, as piuparts compares them: the written layer's paths that the host's root
    lacks, those it hides (deleted), and the directories made anew over one of the host's.
    The layer holds only what changed: walking /usr itself takes minutes emulated."""
    found = set()
    for top in ("etc", "usr", "var/lib"):
        for root, dirs, names in os.walk(os.path.join(UPPER, top)):
            if root == os.path.join(UPPER, "var/lib/dpkg"):
                dirs[:] = []
                continue
            for name in dirs + names:
                path = os.path.join(root, name)
                shown = "/" + os.path.relpath(path, UPPER)
                info = os.lstat(path)
                if stat.S_ISCHR(info.st_mode) and info.st_rdev == 0:
                    found.add(shown + " (deleted)")
                elif not os.path.lexists(LOWER + shown):
                    found.add(shown)
                elif name in dirs and opaque(path):
                    found.add(shown + " (made anew)")
    return found


def opaque(directory):
    try:
        return os.getxattr(directory, "trusted.overlay.opaque") == b"y"
    except OSError:
        return False


def started():
    """The synth's start lines since boot: (seconds since boot, the line)."""
    entries = map(json.loads, run("journalctl", "-b", "-u", SYNTH, "-o", "json").splitlines())
    return [(int(e["__MONOTONIC_TIMESTAMP"]) / 1e6, e["MESSAGE"]) for e in entries
            if isinstance(e.get("MESSAGE"), str) and PLAYING.fullmatch(e["MESSAGE"])]


def assert_started(test, line, card, device):
    """The start line names the card and device that the synth holds open, and the
    buffer that the card granted, as its stream's parameters show it."""
    number, id, _, said, periods, frames, rate, ms = PLAYING.fullmatch(line).groups()
    test.assertEqual((id, said), (card, device), line)
    dev = re.search(r"DEV=(\d+)", device)
    sub = f"/proc/asound/card{number}/pcm{dev.group(1) if dev else 0}p/sub0"
    with open(f"{sub}/status") as f:
        owner = re.search(r"owner_pid *: *(\d+)", f.read()).group(1)
    test.assertIn(owner, os.listdir(f"/proc/{pid(SYNTH)}/task"))  # the output thread
    with open(f"{sub}/hw_params") as f:
        params = dict(line.split(": ", 1) for line in f)
    size, period = int(params["buffer_size"]), int(params["period_size"])
    test.assertEqual((int(periods), int(frames), int(rate)),
                     (size // period, period, int(params["rate"].split()[0])), line)
    test.assertAlmostEqual(float(ms), size * 1000 / int(rate), delta=0.05)


def print_journal():
    """The synth's last lines, to tell a failure's story."""
    print("\nthe synth's journal:\n" + run("journalctl", "-b", "-u", SYNTH, "-o", "short-monotonic",
                                            "--no-pager", "-n", "40"), flush=True)


def status():
    """The synth's status line, as systemctl status shows it."""
    return prop("StatusText", SYNTH)


def underruns():
    """The underruns its status counts (its buffer's note may say "underruns" too)."""
    return int(re.search(r"(\d+) underruns", status()).group(1))


def assert_waiting(test, *cards):
    """The synth found no output: it said so once, naming the cards, and waits for one,
    running and saying so in its status, without restarting."""
    wait(lambda: status().startswith("waiting for a sound output"), "the synth to wait")
    test.assertEqual((prop("ActiveState", SYNTH), prop("NRestarts", SYNTH)), ("active", "0"))
    said = [line for line in journal(SYNTH) if line.startswith(NO_OUTPUT)]
    test.assertEqual(len(said), 1, said)
    for card in cards:
        test.assertIn(card, said[0])
        test.assertIn(card, status())


class CardEvents:
    """udev's events about sound cards as it hands them out (`udevadm monitor`), each with
    its moment on the guest's monotonic clock, which the journal's stamps share."""

    def __init__(self):
        self.lines = []
        monitor = subprocess.Popen(["udevadm", "monitor", "--udev", "-s", "sound"],
                                   stdout=subprocess.PIPE, text=True)
        threading.Thread(target=lambda: self.lines.extend(monitor.stdout), daemon=True).start()
        wait(lambda: any("UDEV" in line for line in self.lines), "udevadm monitor")

    def followed(self, action, act):
        """Does `act`; the seconds from udev's `action` ("change" or "remove") about a card
        to the synth's line for the output it then plays through, and that line."""
        events, before = len(self.lines), len(started())
        act()
        event = wait(lambda: [float(e.split("[")[1].split("]")[0]) for e in self.lines[events:]
                              if f"] {action} " in e and re.search(r"/card\d+ \(sound\)", e)],
                     f"udev's {action} event")[0]
        at, line = wait(lambda: started()[before:], "the synth's line")[0]
        return at - event, line


def program():
    """The program on the instrument's channel, as the synth has it and says it in its
    status."""
    found = re.search(r"program (\d+) on channel 1", status())
    return int(found.group(1)) if found else None


class Heard(unittest.TestCase):
    recording = None

    def tearDown(self):
        if self.recording:
            self.recording.stop()
            self.recording = None

    def type(self, line):
        """Types a line at the sensor; the recording's time then."""
        self.recording = self.recording or Recording()
        start = self.recording.now()
        self.sensor.send(line)
        return start

    def play(self, line):
        """The note that a line starts, from 0.1 s after it begins to 0.7 s."""
        start = self.type(line)
        onset = self.recording.onset(start)
        return self.recording.listen(onset, 0.1, 0.7)

    def assert_quiet(self, start):
        """Silent from 0.5 s to 1 s after `start`: a piano note's release is over."""
        self.assertLess(level(self.recording.listen(start, 0.5, 1.0)), SILENCE)

    def assert_note(self, sound, note):
        found, heard = is_note(sound, note)
        self.assertTrue(found, f"note {note}: {heard}")

    def assert_playing(self, line, note):
        wait_holding()
        self.assert_note(self.play(line), note)


class Synth(Heard):
    """One machine for the whole class: the tests run in order and build on each other."""

    @classmethod
    def setUpClass(cls):
        cls.sensor, _ = guest.devices(synth=False)
        cls.sensor.plug()

    @classmethod
    def tearDownClass(cls):
        print_journal()

    def test_1_refused_beside_the_usb_synth_example(self):
        example = "/etc/modprobe.d/usb-midi-card1.conf"
        with open(os.path.join(HERE, "..", "..", "dist", "usb-midi-card1.conf")) as f, \
                open(example, "w") as out:
            out.write(f.read())
        try:
            refused = subprocess.run(["dpkg", "-i", SYNTH_DEB], capture_output=True, text=True)
        finally:
            os.unlink(example)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn(example, refused.stderr)
        self.assertFalse(os.path.exists("/usr/lib/modprobe.d/sensormidi-synth.conf"))

    def test_2_installed(self):
        run("dpkg", "--unpack", DEB, SYNTH_DEB)
        # Cards that come up before the virtual one, as a Pi's own: they pass slot 1 by.
        guest.modprobe("snd_dummy", "enable=1,1")
        guest.modprobe("snd_aloop")
        run("dpkg", "--configure", "-a")
        with open("/proc/asound/cards") as f:
            cards = dict(re.findall(r"(?m)^ *(\d+) \[(\w+) *\]", f.read()))
        self.assertEqual(cards, {"0": "Dummy", "1": "VirMIDI", "2": "Dummy_1", "3": "Loopback"})
        # Enabled and started by the install, with the shipped settings: they pick an
        # output, and no virtual card is one.
        self.assertEqual(run("systemctl", "is-enabled", SYNTH), "enabled")
        assert_waiting(self, "0 Dummy (Dummy)", "1 VirMIDI (VirMIDI)", "3 Loopback (Loopback)")
        run(SETUP, "/")
        run("systemctl", "restart", SYNTH)
        self.assertEqual(prop("ActiveState", SYNTH), "active")
        assert_started(self, started()[-1][1], "Loopback", "plughw:Loopback")
        self.assertRegex(status(), r"^playing through plughw:Loopback, 4 x 1024 frames at 48000 Hz"
                                   r" = 85.3 ms; program 0 on channel 1; \d+ underruns, 0 reopens")
        tasks = f"/proc/{pid(SYNTH)}/task"
        output = [int(t) for t in os.listdir(tasks)
                  if run("cat", f"{tasks}/{t}/comm") == "synth-output"]
        self.assertEqual([os.sched_getscheduler(t) for t in output], [os.SCHED_FIFO])
        ports = run("aconnect", "-l")
        client = re.search(r"client (\d+): 'sensormidi-synth'", ports).group(1)
        self.assertRegex(ports,
                         rf"card=1\]\n.*'VirMIDI 1-0 *'\n\s+Connecting To: [\d:, ]*\b{client}:0")

    def test_3_lines_are_heard(self):
        # Each note from silence, and silence after each: every onset is heard alone.
        notes = [(215, 400, 67, 100), (245, 120, 67, 40), (230, 300, 67, 70), (100, 250, 62, 55),
                 (130, 300, 64, 70)]
        wait(lambda: applied(port_settings()), "the port settings")
        levels = {}
        for pitch, volume, note, velocity in notes:
            sound = self.play(f"{pitch},{volume}|0\r\n")
            self.assert_note(sound, note)
            if note == 67:
                levels[velocity] = level(sound)
            self.assert_quiet(self.type(f"{pitch},50|0\r\n"))
        # The same note at three velocities, in order: FluidSynth's curve makes it
        # 40 log10(v1 / v2) dB louder; at least half of that each step, so that a
        # velocity one row off in the table does not pass.
        loud = [levels.pop(v) for v in (40, 70, 100)]
        self.assertGreater(loud[1] - loud[0], 20 * numpy.log10(70 / 40), loud)
        self.assertGreater(loud[2] - loud[1], 20 * numpy.log10(100 / 70), loud)

    def sounding_after(self, line, end, after=None):
        """The level of the note that `line` starts and `end` ends as soon as it is heard,
        over half a second from `after` seconds past its onset (by default from half a
        second past the end's return: a stop's release is over by then); and that offset."""
        start = self.type(line)
        onset = self.recording.onset(start)
        end()
        if after is None:
            after = (self.recording.now() - onset) / RATE + 0.5
        return level(self.recording.listen(onset, after, after + 0.5)), after

    def test_4_a_stop_is_heard(self):
        self.assert_note(self.play("300,400|0\r\n"), 69)
        run("systemctl", "stop", "sensormidi")
        # Silent within the release: a piano left on still sounds seconds later (test 7).
        self.assert_quiet(self.recording.now())
        run("systemctl", "start", "sensormidi")

    def test_5_synth_restarted_under_the_instrument(self):
        wait_holding()  # the instrument that test 4 started, settled
        instrument = pid()
        run("systemctl", "restart", SYNTH)
        self.assert_playing("100,400|0\r\n", 62)
        killed = pid(SYNTH)
        run("systemctl", "kill", "-s", "KILL", SYNTH)
        wait(lambda: pid(SYNTH) not in (0, killed) and prop("ActiveState", SYNTH) == "active",
             "the synth to be restarted")
        self.assert_playing("300,400|0\r\n", 69)
        self.assertEqual(pid(), instrument, (prop("NRestarts"), run(
            "journalctl", "-b", "-o", "short-monotonic", "--no-pager", "-n", "40").splitlines()))

    def test_6_no_ip_at_all(self):
        # No TCP or UDP socket, listening or not: no command server.
        self.assertNotIn(f"pid={pid(SYNTH)},", run("ss", "-anp", "-A", "inet"))

    def test_7_a_killed_instrument_leaves_no_note_on(self):
        # Stopped (its Note Off) and killed (the unit's All Notes Off once it is gone), the
        # note falls silent; held, the control, it still sounds as long after its onset.
        wait_holding()
        self.assert_note(self.play("215,400|0\r\n"), 67)  # then each from silence
        self.assert_quiet(self.type("215,50|0\r\n"))
        stopped, after = self.sounding_after("300,400|0\r\n",
                                             lambda: run("systemctl", "stop", "sensormidi"))
        levels = {}
        for name, end in (("killed", lambda: run("systemctl", "kill", "-s", "KILL", "sensormidi")),
                          ("held", lambda: None)):
            run("systemctl", "start", "sensormidi")
            wait_holding()
            self.assert_note(self.play("215,400|0\r\n"), 67)
            self.assert_quiet(self.type("215,50|0\r\n"))
            levels[name], _ = self.sounding_after("300,400|0\r\n", end, after)
        self.assertLess(stopped, SILENCE, f"{after:.2f} s after the onset")
        self.assertLess(levels["killed"], SILENCE, f"{after:.2f} s after the onset")
        self.assertGreater(levels["held"], stopped + 10, f"{after:.2f} s after the onset")


    def test_8_an_output_that_hangs_is_restarted_by_the_watchdog(self):
        """The output thread stuck in a write that never returns while the rest of the synth
        runs on: the watchdog, fed from the output loop alone, restarts it. The device
        copies the loopback card's stream into a pipe (ALSA's file plugin), whose reader
        stops reading."""
        fifo = "/run/sensormidi-synth/hang"
        os.mkfifo(fifo)
        os.chmod(fifo, 0o666)
        reader = subprocess.Popen(["cat", fifo], stdout=subprocess.DEVNULL)
        with open("/etc/asound.conf", "w") as f:
            f.write(f'pcm.hang {{ type file slave.pcm "plughw:Loopback" file "{fifo}" format raw }}\n')
        run("sed", "-i", "s/^AUDIO_DEVICE=.*/AUDIO_DEVICE=hang/", SETTINGS)
        try:
            run("systemctl", "restart", SYNTH)
            wait(lambda: status().startswith("playing through hang"), "the synth on the pipe")
            hung, restarts = pid(SYNTH), int(prop("NRestarts", SYNTH))
            reader.send_signal(signal.SIGSTOP)
            wait_for(lambda: pid(SYNTH) not in (0, hung), FROZEN, "the watchdog to restart it")
            self.assertEqual(int(prop("NRestarts", SYNTH)), restarts + 1)
        finally:
            run(SETUP, "/")
            reader.kill()
            os.unlink("/etc/asound.conf")
            os.unlink(fifo)
        run("systemctl", "restart", SYNTH)
        self.assert_playing("215,400|0\r\n", 67)


    def test_8b_a_hung_input_gets_the_synth_restarted(self):
        """The MIDI input thread stopped from outside (ptrace, that thread alone), while the
        output plays on: the output loop stops telling systemd that all is well, says why,
        and the watchdog restarts the synth."""
        libc = ctypes.CDLL(None, use_errno=True)
        ptrace = lambda request, tid: libc.ptrace(ctypes.c_long(request), ctypes.c_long(tid),
                                                  None, None)
        hung, restarts = pid(SYNTH), int(prop("NRestarts", SYNTH))
        self.assertEqual(ptrace(PTRACE_SEIZE, hung), 0, os.strerror(ctypes.get_errno()))
        self.assertEqual(ptrace(PTRACE_INTERRUPT, hung), 0, os.strerror(ctypes.get_errno()))

        # A traced thread's end waits for its tracer to see it: until then systemd finds the
        # killed synth still there and cannot start it again.
        def ended():
            got, status = os.waitpid(hung, WALL | os.WNOHANG)
            return got == hung and (os.WIFEXITED(status) or os.WIFSIGNALED(status))
        wait_for(ended, FROZEN, "the watchdog to end it")
        wait_for(lambda: pid(SYNTH) not in (0, hung) and prop("ActiveState", SYNTH) == "active",
                 FROZEN, "systemd to start it again")
        self.assertEqual(int(prop("NRestarts", SYNTH)), restarts + 1)
        self.assertIn("the MIDI input has not woken", "\n".join(journal(SYNTH)))
        # (Another note than test 8's last, which the instrument would not send again.)
        self.assert_playing("300,400|0\r\n", 69)

    def test_9a_auto_finds_the_period_this_machine_holds(self):
        """From 64 frames, the period climbs only as underruns make it, and settles: calm
        (fewer underruns over 30 s than would climb, and no climb), or at 2048 frames,
        where it climbs no more. A climbed period is kept for a restart. Whether it climbs
        at all is the host's doing, and is reported."""
        run("sed", "-i", "s/^PERIOD_SIZE=.*/PERIOD_SIZE=auto/; s/^PERIODS=.*/PERIODS=3/", SETTINGS)
        before = len(journal(SYNTH))
        run("systemctl", "restart", SYNTH)
        begun = time.monotonic()
        climbs = lambda: [line for line in journal(SYNTH)[before:] if CLIMBED.search(line)]
        seen = []

        def settled():
            seen.append((time.monotonic(), len(climbs()), underruns()))
            calm = [(t, c, u) for t, c, u in seen if t >= seen[-1][0] - SETTLE]
            return playing_period() == AUTO_LAST or (
                seen[-1][0] - begun > SETTLE and calm[0][1] == calm[-1][1]
                and seen[-1][0] - calm[0][0] >= SETTLE - 1
                and calm[-1][2] - calm[0][2] < CLIMB_UNDERRUNS)
        wait_for(lambda: time.sleep(1) or settled(), SETTLING, "auto's period to settle")
        period = playing_period()
        print(f"\nauto settled at {period} frames after {time.monotonic() - begun:.0f} s, "
              f"{len(climbs())} climbs: {climbs()}; {status()}", flush=True)
        self.assertLessEqual(period, AUTO_LAST)
        if climbs():
            self.assertEqual(period, int(CLIMBED.search(climbs()[-1]).group(1)))
            # Kept for a restart: it starts where it was.
            with open("/run/sensormidi-synth/period") as f:
                self.assertEqual(int(f.read().split()[0]), period)

    def test_9b_each_note_timed_as_the_card_plays_it(self):
        """The synth's own figure for each note against an independent one: the Note On's
        moment at a listener on card 1's port, and the onset of its sound in the loopback
        card's capture, each capture period stamped by the stream."""
        wait_holding()
        listener = subprocess.Popen([LISTENER, "Virtual Raw MIDI 1-0:0"], stdout=subprocess.PIPE,
                                    text=True)
        capture = subprocess.Popen([CAPTURE, "plughw:Loopback,1,0", "240"], stdout=subprocess.PIPE,
                                   text=True)
        heard, periods = [], []
        for proc, into in ((listener, heard), (capture, periods)):
            threading.Thread(target=lambda p=proc, i=into: i.extend(p.stdout), daemon=True).start()
        wait(lambda: heard and periods, "the listener and the capture")
        period = playing_period()
        begun = time.monotonic()
        notes = (60, 64, 67, 72, 62, 65, 69, 71) * 3
        for note in notes:
            self.sensor.send(f"{READING[note]},400|0\r\n")
            time.sleep(0.4)
            self.sensor.send(f"{READING[note]},50|0\r\n")
            time.sleep(0.9)
        note_ons = lambda: [(float(t), int(n)) for t, n, v in (line.split() for line in heard[1:])
                            if int(v)]
        ons = wait(lambda: len(note_ons()) >= len(notes) and note_ons(), "every Note On")

        # Where sound begins after 0.3 s of quiet (before the capture, there was none): the
        # note's first frame at the card.
        def sound_onsets():
            found, quiet = [], 60
            for first, loud in (line.split() for line in periods[1:]):
                if int(loud) >= 0 and quiet >= 60:
                    found.append(float(first) + int(loud) / 48000)
                quiet = 0 if int(loud) >= 0 else quiet + 1
            return found
        onsets = wait(lambda: [o for o in sound_onsets() if o > ons[-1][0] - 0.005] and
                      sound_onsets(), "the last note's sound")
        listener.kill()
        capture.kill()

        # The synth writes its ring once a second at most: each note played, once it is there.
        def ring():
            with open("/run/sensormidi-synth/notes") as f:
                found = [line.split() for line in f]
            return [line for line in found if float(line[0]) >= begun]
        timed = wait(lambda: len(ring()) >= len(notes) and ring(), "every note in the ring")
        # A period more, should it have climbed meanwhile.
        bound = max(period, playing_period()) * 1000 / 48000 + 6
        compared, flagged, read = [], 0, []
        for arrival, note, ms, underrun in timed:
            if underrun == "1":
                flagged += 1
                continue
            on = next(t for t, n in ons if n == int(note) and abs(t - float(arrival)) < 0.05)
            onset = next(o for o in onsets if o > on - 0.005)
            compared.append((float(ms), (onset - on) * 1000))
            read.append((float(arrival) - on) * 1000)
        print(f"\n{len(compared)} notes compared, {flagged} across an underrun left out; the "
              f"synth's figure against the capture's (ms): "
              f"{[(round(a, 1), round(b, 1)) for a, b in compared]}; the synth read each note "
              f"{statistics.median(read):.2f} ms (median) after the listener, "
              f"{min(read):.2f} to {max(read):.2f}", flush=True)
        self.assertGreaterEqual(len(compared), len(notes) // 2)
        for said, measured in compared:
            self.assertLess(abs(said - measured), bound, (said, measured))


def playing_period():
    """The period the synth plays at, once it plays."""
    said = wait(lambda: re.search(r"^playing through .* x (\d+) frames", status()),
                "the synth to play")
    return int(said.group(1))


def settings_line():
    with open(SETTINGS) as f:
        return re.search(r"(?m)^AUDIO_DEVICE=.*", f.read()).group(0)


class Lifecycle(Heard):
    """Both packages installed as 1.2 released them, upgraded to this build and to a newer
    one, removed and purged, in a boot of their own; then installed where the kernel cannot
    make the virtual card."""

    @classmethod
    def setUpClass(cls):
        cls.before = files()
        cls.sensor, _ = guest.devices(synth=False)
        cls.sensor.plug()

    def test_1_upgraded_from_1_2_untouched(self):
        guest.modprobe("snd_aloop")
        run("dpkg", "-i", released(DEB), released(SYNTH_DEB))
        self.assertTrue(os.path.exists("/usr/lib/sensormidi-synth/start"))
        unattended(DEB, SYNTH_DEB)
        self.assertEqual(run("dpkg-query", "-W", "-f=${Version}", SYNTH),
                         run("dpkg-deb", "-f", SYNTH_DEB, "Version"))
        # 1.2's scripts and udev rule gone with it; the settings never edited, as shipped.
        self.assertFalse(os.path.exists("/usr/lib/sensormidi-synth"))
        self.assertFalse(os.path.exists("/usr/lib/udev/rules.d/70-sensormidi-synth.rules"))
        with open(SETTINGS) as f, open(os.path.join(HERE, "..", "..", "dist", "synth",
                                                    "default")) as shipped:
            self.assertEqual(f.read(), shipped.read())
        # The loopback card is no output of its own choosing.
        wait(lambda: status().startswith("waiting for a sound output"), "the synth to wait")
        run(SETUP, "/")
        run("systemctl", "restart", SYNTH)
        self.assert_playing("100,400|0\r\n", 62)

    def test_2_upgraded(self):
        before = pid(), pid(SYNTH)
        with open(SETTINGS) as f:
            edited = f.read()
        upgrade(DEB, SYNTH_DEB)
        wait(lambda: pid() not in (0, before[0]) and pid(SYNTH) not in (0, before[1])
             and prop("ActiveState", SYNTH) == "active", "both services to be restarted")
        with open(SETTINGS) as f:
            self.assertEqual(f.read(), edited)
        self.assert_playing("215,400|0\r\n", 67)

    def test_3_edited_settings_kept_from_1_2(self):
        # Back to 1.2 with the settings edited, then up again: the user's line stays
        # without a question.
        for deb in (released(SYNTH_DEB), SYNTH_DEB):
            unattended(deb)
            self.assertEqual(settings_line(), "AUDIO_DEVICE=plughw:Loopback")
        self.assert_playing("100,400|0\r\n", 62)

    def test_4_removed_and_purged(self):
        print(f"\nthe synth's journal: {len(journal(SYNTH))} lines; its status: {status()}",
              flush=True)
        run("dpkg", "-r", SYNTH)
        self.assertEqual(prop("ActiveState", SYNTH), "inactive")
        self.assertFalse(os.path.exists("/proc/asound/card1"))
        self.assertEqual(prop("ActiveState"), "active")
        run("dpkg", "--purge", SYNTH)
        self.assertFalse(os.path.exists(SETTINGS))
        self.assertFalse(os.path.exists("/run/sensormidi-synth"))
        run("dpkg", "--purge", "sensormidi")
        os.unlink(OWN)
        self.assertEqual(sorted(files() ^ self.before), [])
        ours = [line for line in run("modprobe", "-c").splitlines()
                if line.startswith("options") and re.search(r"slots=|virmidi", line)]
        self.assertEqual(ours, [])
        for unit in (UNIT, SYNTH):
            self.assertEqual(run("systemctl", "is-enabled", unit, check=False), "")

    def test_5_installed_where_the_kernel_has_no_virtual_card(self):
        """A kernel that cannot load snd-virmidi, as Debian's arm64 one."""
        with open("/etc/modprobe.d/no-virmidi.conf", "w") as f:
            f.write("install snd_virmidi /bin/false\n")
        before = len(journal())
        said = subprocess.run(["dpkg", "-i", DEB, SYNTH_DEB], capture_output=True, text=True,
                              check=True).stderr
        ours = [line for line in said.splitlines() if line.startswith("sensormidi-synth:")]
        self.assertEqual(len(ours), 1, said)
        for words in ("cannot load snd-virmidi", "hardware synthesizer on card 1",
                      "systemctl enable --now sensormidi-synth"):
            self.assertIn(words, ours[0])
        self.assertEqual(run("systemctl", "is-enabled", SYNTH, check=False), "disabled")
        self.assertEqual(prop("ActiveState", SYNTH), "inactive")
        self.assertFalse(os.path.exists("/proc/asound/card1"))
        wait(lambda: prop("ActiveState") == "active", "the instrument")
        wait(lambda: any(line.startswith("Can't open MIDI output") for line in journal()[before:]),
             "the instrument to look for card 1")


class Cards(unittest.TestCase):
    """The synth's own pick among sound cards on their real drivers (vm.py --sound):
    card 0 a virtual stand-in named as a Pi 5's HDMI, a USB DAC that the test plugs
    and unplugs through QEMU's monitor, and a PC's codec. The synth follows them in
    place, keeps the player's program through a follow and a restart, waits for a
    device named by hand while it is gone, and is restarted by systemd's watchdog
    when frozen. What the cards play, the host checks once the machine is gone
    (recorded.py). One machine for the class."""

    follows = []

    @classmethod
    def setUpClass(cls):
        cls.sensor, _ = guest.devices(synth=False)
        cls.sensor.plug()
        cls.events = CardEvents()

    @classmethod
    def tearDownClass(cls):
        print_journal()
        if cls.follows:
            print(f"\nfollows, from udev's event to the synth's line: "
                  f"{', '.join(f'{t:.2f}' for t in cls.follows)} s; worst {max(cls.follows):.2f} s "
                  f"({os.environ.get('VM_ACCEL')})", flush=True)

    def monitor(self, command, **arguments):
        with open(MONITOR, "r+b", buffering=0) as port:
            self.assertNotIn("error", ask(port, command, **arguments))

    def follow(self, action, command, **arguments):
        """Plugs or unplugs through QEMU's monitor; the synth's line for the output it
        then plays through, timed from udev's event (a card's "change" or "remove"), in
        the same process."""
        synth = pid(SYNTH)
        took, line = self.events.followed(action, lambda: self.monitor(command, **arguments))
        print(f"\nthe synth followed {command} {took:.2f} s after udev's {action}: {line}",
              flush=True)
        self.follows.append(took)
        self.assertLess(took, FOLLOW)
        self.assertEqual(pid(SYNTH), synth)
        return line

    def plug(self, recording):
        return self.follow("change", "device_add", driver="usb-audio", id=recording,
                           audiodev=recording, bus="xhci.0")

    def play(self, *notes):
        """Each note held, then the hand rests: the recordings are checked on the host."""
        for note in notes:
            heard = journal().count(str(note))
            self.sensor.send(f"{READING[note]},400|0\r\n")
            wait(lambda: journal().count(str(note)) > heard, f"note {note} to be played")
            time.sleep(HOLD)
            self.sensor.send(f"{READING[note]},50|0\r\n")
            time.sleep(REST)

    def test_1_waits_for_an_output(self):
        guest.modprobe("snd_dummy", "index=0", "id=vc4hdmi0")
        run("dpkg", "-i", DEB, SYNTH_DEB)
        assert_waiting(self, "0 vc4hdmi0 (Dummy)", "1 VirMIDI (VirMIDI)")
        # A buffer that the emulated machine keeps up with, the output still picked; and a
        # rate that QEMU's USB audio device cannot give (48 kHz only), so that what the card
        # gave is not what was asked.
        run(SETUP, "/", "1024", "4", "auto")
        run("sed", "-i", f"s/^SAMPLE_RATE=.*/SAMPLE_RATE={ASKED}/", SETTINGS)
        run("systemctl", "restart", SYNTH)
        wait(lambda: status().startswith("waiting for a sound output"), "the synth to wait")
        wait_holding()
        Cards.instrument = pid()

    def test_2_plays_through_a_dac_plugged_in(self):
        dac = PLUGGED[0]
        line = self.plug(dac[0])
        assert_started(self, line, "Audio", "plughw:CARD=Audio,DEV=0")
        self.assertIn(" at 48000 Hz ", line)
        self.assertIn(line, run("systemctl", "status", "-l", "--no-pager", SYNTH))
        # The codec comes up: the DAC comes first, and the synth stays on it.
        before = len(started())
        guest.modprobe("snd_hda_intel")
        wait(lambda: os.path.exists("/proc/asound/Intel"), "the codec's card")
        run("udevadm", "settle")
        self.assertEqual(started()[before:], [])
        # Two presses: the program that the synth must keep when it follows.
        *before, last = dac[1]
        self.play(*before)
        for _ in range(2):
            self.sensor.send("30,50|1\r\n")
        wait(lambda: program() == 66, "the second instrument")
        self.play(last)
        with open("/proc/asound/Intel/pcm0p/sub0/status") as f:
            self.assertEqual(f.read().strip(), "closed")

    def test_3_follows_the_dac_out_and_back(self):
        line = self.follow("remove", "device_del", id=PLUGGED[0][0])
        assert_started(self, line, "Intel", "plughw:CARD=Intel,DEV=0")
        self.assertEqual(program(), 66)
        self.play(*PLUGGED[1][1])
        assert_started(self, self.plug(PLUGGED[2][0]), "Audio", "plughw:CARD=Audio,DEV=0")
        self.assertEqual(program(), 66)
        self.play(PLUGGED[2][1][0])
        self.assertEqual(pid(), self.instrument)

    def test_4_frozen_it_is_restarted_by_the_watchdog(self):
        frozen, restarts = pid(SYNTH), int(prop("NRestarts", SYNTH))
        before = len(started())
        os.kill(frozen, signal.SIGSTOP)
        stopped = time.monotonic()
        wait_for(lambda: pid(SYNTH) not in (0, frozen) and started()[before:], FROZEN,
                 "the watchdog to restart the synth")
        print(f"\nthe frozen synth played again {time.monotonic() - stopped:.1f} s later",
              flush=True)
        self.assertEqual(int(prop("NRestarts", SYNTH)), restarts + 1)
        self.assertIn("Watchdog timeout", run("journalctl", "-b", "-u", SYNTH, "--no-pager"))
        # The program kept in the runtime directory, back in the synth.
        wait(lambda: program() == 66, "the program after the restart")
        self.play(*PLUGGED[2][1][1:])

    def test_5_a_device_named_by_hand_is_waited_for(self):
        run("sed", "-i", "s/^AUDIO_DEVICE=.*/AUDIO_DEVICE=plughw:CARD=Audio,DEV=0/", SETTINGS)
        run("systemctl", "restart", SYNTH)
        wait(lambda: status().startswith("playing through plughw:CARD=Audio"), "the named DAC")
        named = pid(SYNTH)
        self.monitor("device_del", id=PLUGGED[2][0])
        wait(lambda: status().startswith("waiting for plughw:CARD=Audio,DEV=0"),
             "the synth to wait for the named DAC")
        before = len(started())
        self.monitor("device_add", driver="usb-audio", id=PLUGGED[3][0], audiodev=PLUGGED[3][0],
                     bus="xhci.0")
        assert_started(self, wait(lambda: started()[before:], "the named DAC back")[0][1], "Audio",
                       "plughw:CARD=Audio,DEV=0")
        self.assertEqual((pid(SYNTH), prop("ActiveState", SYNTH), program()), (named, "active", 66))
        self.play(*PLUGGED[3][1])
        self.assertEqual(pid(), self.instrument)


if __name__ == "__main__":
    DEB, SYNTH_DEB = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    # The listener and the stamped capture, for the latency's check (Synth only).
    LISTENER, CAPTURE = os.environ.get("SENSORMIDI_LISTENER"), os.environ.get("SENSORMIDI_CAPTURE")
    main(sys.argv[3:])

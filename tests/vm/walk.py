"""The player's steps on the fresh box that fresh.py boots, as the README gives them: as
`player`, logged in at a terminal (a login shell: Debian's PATH for a user, no sbin), from
a clone of this repository. One boot a step, named by the argument:
  pc           scripts/play brings the synth and plays through the codec; Ctrl-C ends the
               note and the run and unloads the virtual card; with a USB synth on card 1 it
               plays there and starts no synth
  pc-download  a newer tree, downloaded without .git, installed with scripts/install: a
               version that says it is local, no reboot
  pi-install   scripts/play says in one line what to do, and changes nothing; scripts/install
               installs both packages and asks for a reboot; no build tool stays, nor what
               was downloaded
  pi-rebooted  card 1 is the virtual MIDI card, both units active, a note played to the DAC;
               then the power is cut while a note sounds
  pi-cut       it comes back and plays, dpkg's state, the settings and the last boot's
               journal whole
  pi-upgrade   scripts/install on a newer commit, pulled, upgrades in place without a
               reboot, the settings kept
It prints "WALK {...}": the notes played, on the host's clock, their hold, and what took
how long, for fresh.py to check in the recordings.

Usage (inside the guest): walk.py STEP
"""

import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]
import guest  # noqa: E402
from guest import MONITOR, PORT, ask, host_offset, wait  # noqa: E402
from rig import wait_for  # noqa: E402
from service import journal, pid, prop, run, wait_holding  # noqa: E402

PLAYER = "player"
SYNTH = "sensormidi-synth"
SETTINGS = "/etc/default/sensormidi-synth"
OUT = os.environ.get("VM_OUT", "/tmp")
# Seconds for what the player waits for, emulated and beside the other tests: the first
# scripts/play (its packages, and the build), and scripts/install (the build tools, the
# packages' build, their install).
PLAYS, INSTALLS = 2000, 2200
HOLD, REST = 0.8, 1.2  # the hand holds each note, and rests after it
# The synth's buffer, as a player gives it on a box that cannot keep up with auto's
# (scripts/play, /etc/default/sensormidi-synth): the emulated one.
BUFFER = "PERIOD_SIZE=1024 PERIODS=4"
READING = {60: 30, 62: 100, 64: 130, 65: 180, 67: 215, 69: 300, 71: 330, 72: 380}
# What a build needs and a player's box need not keep.
BUILD_TOOLS = ("debhelper", "cmake", "g++", "libfluidsynth-dev", "build-essential")
ESCAPE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


class Terminal:
    """The player logged in at a terminal (runuser -l on a pseudo-terminal): what is typed,
    and what it shows, each line also on the console."""

    def __init__(self):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execvp("runuser", ["runuser", "-l", PLAYER])
        self.shown, self.began = "", time.monotonic()
        threading.Thread(target=self.read, daemon=True).start()
        # Typed before the login shell reads, a line may be thrown away as it sets the
        # terminal up.
        wait(lambda: self.shown.rstrip(" ").endswith("$"), "the login shell's prompt")

    def read(self):
        pending = ""
        while True:
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            if not data:
                return
            # (Without the shell's escapes: its prompt marks pasted text.)
            text = ESCAPE.sub("", data.decode("utf-8", "replace").replace("\r", ""))
            self.shown += text
            *lines, pending = (pending + text).split("\n")
            for line in lines:
                print(f"player| {time.monotonic() - self.began:6.1f} s| {line}", flush=True)

    def type(self, text):
        os.write(self.fd, text.encode())

    def interrupt(self, since):
        """Ctrl-C, and the shell back at its prompt: what ran since `since` has ended."""
        self.type("\x03")
        wait(lambda: self.shown[since:].rstrip(" ").endswith("$"), "the shell's prompt")

    def run(self, command, timeout=guest.WAIT):
        """Types a command and waits for it to end: its status, and what it showed. The
        status is asked for on the same line: a line typed ahead would be read by whatever
        reads the terminal meanwhile."""
        since = len(self.shown)
        self.type(f"{command}; echo walk-status=$?\n")
        found = wait_for(lambda: re.search(r"walk-status=(\d+)\n", self.shown[since:]), timeout,
                         command)
        return int(found.group(1)), self.shown[since:since + found.start()]

    def said(self, since, prefix):
        return [line for line in self.shown[since:].split("\n") if line.startswith(prefix)]


def settings():
    with open(SETTINGS) as f:
        return f.read()


def edited():
    """The shipped settings, with the player's buffer."""
    with open(os.path.join(HERE, "..", "..", "dist", "synth", "default")) as f:
        text = f.read()
    for setting in BUFFER.split():
        text = re.sub(rf"(?m)^{setting.split('=')[0]}=.*$", setting, text)
    return text


def installed(package):
    return run("dpkg-query", "-W", "-f=${db:Status-Abbrev}", package, check=False).startswith("ii")


def cards():
    with open("/proc/asound/cards") as f:
        return dict(re.findall(r"(?m)^ *(\d+) \[(\w+) *\]", f.read()))


def synths():
    """The synth processes running."""
    found = []
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{p}/comm") as f:
                found += [int(p)] if f.read().strip() == SYNTH[:15] else []
        except OSError:
            pass
    return found


def holding():
    """Whether an instrument holds the sensor's port."""
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            if any(os.readlink(f"/proc/{p}/fd/{fd}") == PORT for fd in os.listdir(f"/proc/{p}/fd")):
                return True
        except OSError:
            pass
    return False


def check(condition, what):
    if not condition:
        raise AssertionError(what)


class Walk:
    def __init__(self):
        self.notes, self.took, self.report = [], {}, {}
        self.monitor = open(MONITOR, "r+b", buffering=0)
        self.offset = host_offset(self.monitor)[1]

    def login(self):
        """The player at a terminal, with a clone of the repository's last commit."""
        shutil.rmtree("/home/player/sensormidi", ignore_errors=True)  # (a step walked again)
        term = Terminal()
        path = re.search(r"(?m)^PATH=(/.*)$", term.run("echo PATH=$PATH")[1]).group(1)
        check("sbin" not in path, f"a user's PATH, without sbin: {path}")
        check(term.run(f"git clone -q {OUT}/sensormidi.bundle sensormidi && cd sensormidi")[0] == 0,
              "the clone")
        return term

    def note(self, sensor, note, printed, hold=True):
        """The hand plays a note from rest and holds it; `printed()` tells when the instrument
        started it. With `hold`, the hand then rests."""
        at = self.offset + time.monotonic()
        sensor.send(f"{READING[note]},400|0\r\n")
        wait(printed, f"note {note} started")
        self.notes.append((at, note))
        time.sleep(HOLD)
        if hold:
            sensor.send(f"{READING[note]},50|0\r\n")
            time.sleep(REST)

    def timed(self, what, since):
        self.took[what] = time.monotonic() - since

    def done(self, **more):
        print("WALK " + json.dumps({"notes": self.notes, "hold": HOLD, "took": self.took} |
                                   self.report | more), flush=True)

    def pc(self):
        # The codec is card 0; the USB synth's own side, later, card 2.
        sensor, usb_synth = guest.devices(synth_card=2)
        sensor.plug()
        term = self.login()
        since, began = len(term.shown), time.monotonic()
        # A buffer that the emulated box keeps up with: auto's 4 ms would take a minute to climb.
        term.type(f"{BUFFER} scripts/play\n")
        wait_for(lambda: "playing through sensormidi-synth" in term.shown[since:], PLAYS,
                 "scripts/play to play")
        self.timed("scripts/play, the first time", began)
        wait(holding, "the instrument to hold the port")
        for note in (67, 62):
            mark = len(term.shown)
            self.note(sensor, note, lambda: re.search(rf"(?m)^{note}$", term.shown[mark:]),
                      hold=note != 62)
        # Ctrl-C while the note sounds.
        stopped = self.offset + time.monotonic()
        term.interrupt(since)
        check(synths() == [], "no synth left running")
        with open("/proc/modules") as f:
            check("snd_virmidi" not in [line.split()[0] for line in f], "the virtual card unloaded")
        # A USB synth on card 1: it plays there, and starts no synth.
        usb_synth.plug()
        since = len(term.shown)
        term.type("scripts/play\n")
        wait(holding, "the instrument to hold the port")
        sensor.send("215,400|0\r\n")
        check(usb_synth.wait_bytes(6)[:6] == [0x80, 0x00, 0x00, 0x90, 0x43, 0x64], "the USB synth")
        check(synths() == [], "no synth started beside a USB synth")
        term.interrupt(since)
        self.done(stopped=stopped)

    def pc_download(self):
        # A newer tree, downloaded (no .git), installed for good: card 1 is free here, so
        # the synth takes it at once, and no reboot is asked for.
        term = Terminal()
        check(term.run(f"tar -xzf {OUT}/sensormidi-newer.tar.gz && cd sensormidi-newer")[0]
              == 0, "the download unpacked")
        said = self.install(term, "scripts/install, a downloaded tree")
        check(not any("reboot" in line for line in said), f"no reboot asked for: {said}")
        version = run("dpkg-query", "-W", "-f=${Version}", "sensormidi")
        check("local" in version, f"the version says it is local: {version}")
        check(cards()["1"] == "VirMIDI", cards())
        for unit in ("sensormidi", SYNTH):
            check((prop("ActiveState", unit), run("systemctl", "is-enabled", unit)) ==
                  ("active", "enabled"), f"{unit} active and enabled")
        self.done(version=version)

    def install(self, term, what):
        """scripts/install as the player runs it, timed: what it said."""
        began, since = time.monotonic(), len(term.shown)
        status, _ = term.run("scripts/install", INSTALLS)
        self.timed(what, began)
        said = term.said(since, "scripts/install:")
        check(status == 0, f"scripts/install failed: {said}")
        return said

    def pi_install(self):
        check(cards() == {"0": "vc4hdmi0", "1": "vc4hdmi1", "2": "Headphones"}, cards())
        term = self.login()
        # Card 1 is the Pi's own: one line says what to do, and nothing is installed.
        since = len(term.shown)
        status, _ = term.run("scripts/play")
        said = term.said(since, "sensormidi:")
        check(status != 0 and len(said) == 1, f"scripts/play: {status}, {said}")
        check("scripts/install" in said[0] and "reboot" in said[0], said[0])
        check(not installed("cmake") and not os.path.exists("/home/player/sensormidi/build-release"),
              "scripts/play changed nothing")
        said = self.install(term, "scripts/install")
        check(any("updating apt's package lists" in line for line in said), "apt's lists updated")
        check(any("MB given back" in line for line in said), "the space given back said")
        reboot = [line for line in said if "reboot" in line]
        check(len(reboot) == 1 and "card 1" in reboot[0], f"the reboot asked for: {said}")
        check(not any("playing through" in line for line in said), "no word of playing yet")
        check(installed("sensormidi") and installed(SYNTH), "both packages installed")
        left = [tool for tool in BUILD_TOOLS if installed(tool)]
        check(not left, f"build tools left: {left}")
        cached = [f for f in os.listdir("/var/cache/apt/archives") if f.endswith(".deb")]
        check(not cached, f"downloads left: {cached}")
        check(run("systemctl", "is-enabled", SYNTH) == "enabled", "the synth enabled")
        # The buffer given, as the README says: kept through the upgrade.
        edit = "; ".join(f"s/^{setting.split('=')[0]}=.*/{setting}/" for setting in BUFFER.split())
        check(term.run(f"sudo sed -i '{edit}' {SETTINGS}")[0] == 0, "the settings edited")
        self.done()

    def playing(self):
        """Both units up after a boot, card 1 the virtual MIDI card, the synth on the DAC;
        the instrument started without the sensor, plays once it is plugged, in the same
        process. The sensor plugged in, and a note played."""
        wait(lambda: prop("ActiveState") == prop("ActiveState", SYNTH) == "active", "both units")
        check(cards()["1"] == "VirMIDI", cards())
        wait(lambda: prop("StatusText", SYNTH).startswith("playing through plughw:CARD=Audio"),
             "the synth on the DAC")
        wait(lambda: f"{PORT}: No such file or directory" in journal(), "the sensor's absence")
        booted = pid()
        sensor, _ = guest.devices(synth=False)
        sensor.plug()
        wait_holding()
        check(pid() == booted, "the instrument that booted plays")
        return sensor

    def played(self, note):
        heard = journal().count(str(note))
        return lambda: journal().count(str(note)) > heard

    def pi_rebooted(self):
        sensor = self.playing()
        # Card 1 came before the synth, which was ready before the instrument started.
        card1 = int(prop("ExecMainExitTimestampMonotonic", "modprobe@snd_virmidi.service"))
        check(card1 < int(prop("ExecMainStartTimestampMonotonic", SYNTH)), "card 1 first")
        check(int(prop("ActiveEnterTimestampMonotonic", SYNTH)) <=
              int(prop("ExecMainStartTimestampMonotonic")), "the synth ready first")
        self.note(sensor, 67, self.played(67))
        self.note(sensor, 62, self.played(62), hold=False)
        # The power cut while it sounds: no shutdown, what is not on the disk is lost.
        self.done()
        print("sensormidi-vm-exit: 0", flush=True)
        termios.tcdrain(sys.stdout.fileno())
        ask(self.monitor, "system_reset")
        signal.pause()

    def pi_cut(self):
        sensor = self.playing()
        self.note(sensor, 64, self.played(64))
        check(run("dpkg", "--audit") == "", "dpkg's state whole")
        check(settings() == edited(), "the settings as the player left them")
        # The journal of the boot the cut ended, readable: what journald had written by then
        # (it syncs every 5 minutes; the lines after, the cut took).
        before = subprocess.run(["journalctl", "-b", "-1", "-o", "cat", "--no-pager"],
                                capture_output=True, text=True)
        check(before.returncode == 0 and before.stdout.strip(),
              f"the journal of the boot before the cut: {before.stderr}")
        self.report["the boot before the cut, its journal's lines"] = len(before.stdout.splitlines())
        self.done()

    def pi_upgrade(self):
        sensor = self.playing()
        # A newer commit, pulled into the clone, and installed over the last: in place.
        term = Terminal()
        before = run("dpkg-query", "-W", "-f=${Version}", "sensormidi")
        check(term.run(f"cd sensormidi && git pull -q {OUT}/sensormidi-newer.bundle")[0] == 0,
              "the pull")
        instrument = pid()
        said = self.install(term, "scripts/install, the upgrade")
        check(not any("reboot" in line for line in said), f"no reboot asked for: {said}")
        check(settings() == edited(), "the settings kept through the upgrade")
        version = run("dpkg-query", "-W", "-f=${Version}", "sensormidi")
        check(run("dpkg", "--compare-versions", version, "gt", before, check=False) == "",
              f"a newer version: {before} to {version}")
        wait(lambda: pid() not in (0, instrument), "the instrument restarted into the upgrade")
        self.playing_again(sensor)
        self.done(version=version)

    def playing_again(self, sensor):
        wait(lambda: prop("ActiveState") == prop("ActiveState", SYNTH) == "active", "both units")
        wait_holding()
        self.note(sensor, 65, self.played(65))


def main(step):
    walk = Walk()
    try:
        getattr(walk, step.replace("-", "_"))()
    except AssertionError as e:
        print(f"walk: {step}: FAILED: {e}", flush=True)
        # What ran then, for the story.
        print(run("ps", "-eo", "pid,stat,wchan:24,args", check=False), flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main(sys.argv[1])

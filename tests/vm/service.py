"""The Debian package as a running service, inside the virtual machine that
vm.py boots with systemd as init: installed with dpkg, started by systemd as
its unit says, with the USB sensor and synth of guest.py.

Usage (inside the guest): service.py DEB [unittest arguments]
"""

import glob
import grp
import os
import signal
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]
import guest  # noqa: E402
from guest import PORT, port_settings, wait  # noqa: E402
from rig import applied, main  # noqa: E402

DEB = None
UNIT = "sensormidi.service"
CGROUP = "/sys/fs/cgroup/system.slice/sensormidi.service"
NOTE_69 = [0x90, 0x45, 0x64]
ALL_OFF = [0xB0, 0x7B, 0x00]  # All Notes Off, channel 1


def run(*cmd, check=True):
    return subprocess.run(cmd, capture_output=True, text=True, check=check).stdout.strip()


def newer(deb):
    """The same package built as a newer version (the packaging test makes it)."""
    name = os.path.basename(deb).split("_")[0]
    found = glob.glob(os.path.join(os.path.dirname(deb), "upgrade", f"{name}_*.deb"))
    assert len(found) == 1, found
    return found[0]


def unattended(*debs):
    """dpkg -i as unattended upgrades run it: no terminal to ask on, and the answers
    given beforehand (a changed settings file: the new one where the user never
    edited it, else the user's). Its output."""
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    return subprocess.run(["dpkg", "--force-confdef", "--force-confold", "-i", *debs], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, check=True,
                          timeout=600).stdout


def upgrade(*debs):
    """The newer versions, installed unattended."""
    return unattended(*map(newer, debs))


def prop(name, unit=UNIT):
    return run("systemctl", "show", "-p", name, "--value", unit)


def pid(unit=UNIT):
    return int(prop("MainPID", unit))


def wait_holding():
    """Until the instrument's service runs and has set the sensor port up."""
    wait(lambda: prop("ActiveState") == "active" and applied(port_settings()),
         "the service to hold the port")


def journal(unit=UNIT):
    """The service's lines since boot, as the journal holds them."""
    return run("journalctl", "-b", "-u", unit, "-o", "cat", "--no-pager").splitlines()


def status(process):
    with open(f"/proc/{process}/status") as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def probe(paths_modes, cgroup=None):
    """Opens each (path, flags) from a shell, inside `cgroup` if given; the errno of
    each, 0 for success."""
    code = ("import os,sys\n"
            "for p, m in eval(sys.argv[1]):\n"
            "    try: os.close(os.open(p, m | os.O_NONBLOCK | os.O_NOCTTY)); print(0)\n"
            "    except OSError as e: print(e.errno)\n")
    enter = f"echo $$ > {cgroup}/cgroup.procs && " if cgroup else ""
    out = run("sh", "-c", f"{enter}exec python3 -c \"$0\" \"$1\"", code, repr(paths_modes))
    return [int(x) for x in out.split()]


class Installed(unittest.TestCase):
    """One machine for the whole class: the tests run in order and build on each other."""

    @classmethod
    def setUpClass(cls):
        cls.sensor, cls.synth = guest.devices()
        cls.sensor.plug()
        cls.synth.plug()

    def play(self, line, expect):
        """Sends a line once the service has the port, and waits for `expect` at the synth."""
        wait_holding()
        heard = len(self.synth.received)
        self.sensor.send(line)
        got = self.synth.wait_bytes(heard + len(expect))[heard:]
        self.assertEqual(got[:len(expect)], expect)

    def test_1_install_with_the_sensor_plugged(self):
        run("dpkg", "-i", DEB)
        # The rule reached the sensor already plugged in, without a re-plug.
        props = run("udevadm", "info", "-q", "property", "-n", PORT).splitlines()
        self.assertIn("ID_MM_DEVICE_IGNORE=1", props)
        self.assertEqual(run("systemctl", "is-enabled", UNIT), "enabled")
        # Started by the install itself, not by this test.
        self.play("215,180|0\r\n", [0x80, 0x00, 0x00, 0x90, 0x43, 0x3C])
        wait(lambda: "67" in journal(), "the note in the journal")

    def test_2_identity_and_device_policy(self):
        st = status(pid())
        uid = int(st["Uid"].split()[0])
        self.assertGreaterEqual(uid, 61184)  # systemd's range for dynamic users
        groups = {int(g) for g in st["Groups"].split()}
        own = int(st["Gid"].split()[0])  # the dynamic user's own group
        self.assertEqual(groups - {own},
                         {grp.getgrnam("dialout").gr_gid, grp.getgrnam("audio").gr_gid})
        for caps in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"):
            self.assertEqual(int(st[caps], 16), 0, caps)
        self.assertEqual(st["NoNewPrivs"], "1")
        # (Not the raw MIDI port itself: the service holds it, and it takes one writer.)
        allowed = [(PORT, os.O_RDONLY), ("/dev/snd/controlC1", os.O_RDWR),
                   ("/dev/snd/timer", os.O_RDONLY)]
        refused = [(PORT, os.O_WRONLY), ("/dev/ttyS0", os.O_RDWR), ("/dev/mem", os.O_RDONLY)]
        self.assertEqual(probe(allowed + refused), [0] * 6)
        # The device filter holds per cgroup: a root shell inside it meets it too.
        self.assertEqual(probe(allowed + refused, CGROUP), [0, 0, 0] + [1] * 3)

    def test_3_unplug_and_plug_back(self):
        before = pid()
        lines = len(journal())
        self.sensor.unplug()
        self.sensor.plug()
        self.play("100,400|0\r\n", [0x80, 0x43, 0x00, 0x90, 0x3E, 0x64])
        self.synth.unplug()
        self.synth.plug()
        self.play("300,400|0\r\n", [0x80, 0x3E, 0x00] + NOTE_69)
        self.assertEqual(pid(), before)
        new = journal()[lines:]
        for said in (f"{PORT}: sensor lost: end of file", f"{PORT}: sensor connected",
                     "hw:1,0,0: MIDI output lost: No such device", "hw:1,0,0: MIDI output open"):
            self.assertEqual(new.count(said), 1, new)

    def test_4_stop_sends_the_note_off(self):
        heard = len(self.synth.received)
        run("systemctl", "stop", UNIT)
        # The program's Note Off, then the unit's All Notes Off.
        self.assertEqual(self.synth.wait_bytes(heard + 6)[heard:], [0x80, 0x45, 0x00] + ALL_OFF)
        self.assertEqual(prop("ActiveState"), "inactive")
        self.assertEqual(prop("Result"), "success")

    def test_5_a_crash_is_restarted(self):
        run("systemctl", "start", UNIT)
        self.play("100,400|0\r\n", [0x80, 0x00, 0x00, 0x90, 0x3E, 0x64])
        crashed = pid()
        heard = len(self.synth.received)
        run("systemctl", "kill", "-s", "KILL", UNIT)
        # Killed, it switched nothing off: the unit does.
        self.assertEqual(self.synth.wait_bytes(heard + 3)[heard:], ALL_OFF)
        restart = float(prop("RestartUSec").rstrip("s") or 0)
        wait(lambda: pid() not in (0, crashed), "the restart")
        self.assertGreaterEqual(int(prop("NRestarts")), 1)
        self.assertLessEqual(restart, 2)
        self.play("300,400|0\r\n", [0x80, 0x00, 0x00] + NOTE_69)

    def test_6_upgrade_while_playing(self):
        playing = pid()
        heard = len(self.synth.received)
        upgrade(DEB)
        self.assertEqual(run("dpkg-query", "-W", "-f=${Version}", "sensormidi"),
                         run("dpkg-deb", "-f", newer(DEB), "Version"))
        # Restarted: the old process switched its note off on the way out.
        self.assertEqual(self.synth.wait_bytes(heard + 3)[heard:heard + 3], [0x80, 0x45, 0x00])
        wait(lambda: pid() not in (0, playing), "the restart")
        self.play("100,400|0\r\n", [0x80, 0x00, 0x00, 0x90, 0x3E, 0x64])

    def test_7_removal_stops_it(self):
        heard = len(self.synth.received)
        run("dpkg", "-r", "sensormidi")
        self.assertEqual(self.synth.wait_bytes(heard + 6)[heard:], [0x80, 0x3E, 0x00] + ALL_OFF)
        self.assertNotEqual(prop("ActiveState"), "active")
        self.assertFalse(os.path.exists("/usr/bin/sensormidi"))
        run("dpkg", "--purge", "sensormidi")
        self.assertEqual(run("systemctl", "is-enabled", UNIT, check=False), "")


if __name__ == "__main__":
    DEB = os.path.abspath(sys.argv[1])
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main(sys.argv[2:])

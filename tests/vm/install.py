"""scripts/install on a fresh box, in the virtual machine booted with systemd: a fresh
checkout of this repository (its last commit) in the guest, nothing of the project
installed, a build dependency missing (apt has it in its cache: the machine has no
network). A failing build, then the instrument alone, then both packages on a changed
tree; the synth plays to the loopback card, named by hand, where the test listens.

Usage (inside the guest): install.py [unittest arguments]
"""

import glob
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]
import guest  # noqa: E402
from rig import main  # noqa: E402
from service import journal, pid, prop, run  # noqa: E402
from synth import SETUP, SYNTH, Heard  # noqa: E402

TREE = "/root/sensormidi"
# A build dependency of the synth's alone, which nothing else needs: the install brings it,
# and must take it away again.
MISSING = "libfluidsynth-dev"


def installed(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}", package],
                          capture_output=True, text=True).stdout.startswith("ii")


def version(package):
    return run("dpkg-query", "-W", "-f=${Version}", package)


class Install(Heard):
    """One machine for the class: the tests run in order and build on each other."""

    @classmethod
    def setUpClass(cls):
        guest.modprobe("snd_aloop")
        cls.sensor, _ = guest.devices(synth=False)
        cls.sensor.plug()
        # Over the share, git's hard links into the repository fail: its own transport.
        run("git", "clone", "-q", "file://" + os.path.realpath(os.path.join(HERE, "..", "..")),
            TREE)
        cached = glob.glob(f"/var/cache/apt/archives/{MISSING}_*.deb")
        cls.missing = installed(MISSING) and bool(cached)
        if cls.missing:
            run("dpkg", "-r", MISSING)
        else:
            print(f"\nno {MISSING} in apt's cache: the removal of what the build brought is not "
                  "exercised", flush=True)

    def install(self, *options, tree=TREE):
        """scripts/install as a user runs it; its status and its lines."""
        began = time.monotonic()
        done = subprocess.run([os.path.join(tree, "scripts", "install"), *options],
                              capture_output=True, text=True, timeout=1800)
        said = (done.stdout + done.stderr).splitlines()
        print("\n" + "\n".join(said) + f"\n(scripts/install {' '.join(options)} took "
              f"{time.monotonic() - began:.0f} s, {os.environ.get('VM_ACCEL')})", flush=True)
        return done.returncode, said

    def assert_tools_gone(self):
        self.assertFalse(installed("sensormidi-build-deps"))
        if self.missing:
            self.assertFalse(installed(MISSING), "the build dependency that it brought")

    def test_1_a_failing_build_installs_nothing(self):
        broken = TREE + "-broken"
        run("git", "clone", "-q", "file://" + TREE, broken)
        # Broken where the build begins, so that it fails at once.
        with open(os.path.join(broken, "CMakeLists.txt"), "a") as f:
            f.write("this_is_no_command()\n")
        status, said = self.install(tree=broken)
        self.assertNotEqual(status, 0)
        failed = [line for line in said if "the build failed" in line]
        self.assertEqual(len(failed), 1, said)
        self.assertTrue(os.path.exists(failed[0].rsplit(" ", 1)[1]), failed[0])
        self.assertFalse(installed("sensormidi") or installed(SYNTH))
        self.assert_tools_gone()

    def test_2_the_instrument_alone(self):
        status, said = self.install("--no-synth")
        self.assertEqual(status, 0, said)
        self.assertTrue(installed("sensormidi"))
        self.assertFalse(installed(SYNTH))
        self.assertEqual((prop("ActiveState"), run("systemctl", "is-enabled", "sensormidi")),
                         ("active", "enabled"))
        self.assert_tools_gone()
        Install.first = version("sensormidi")

    def test_3_both_on_a_changed_tree(self):
        instrument = pid()
        with open(os.path.join(TREE, "README.md"), "a") as f:
            f.write("\nA line of the player's own.\n")
        run("git", "-C", TREE, "-c", "user.name=player", "-c", "user.email=player@box",
            "commit", "-qam", "A change of the player's")
        status, said = self.install()
        self.assertEqual(status, 0, said)
        # A newer version, and the instrument restarted into it.
        self.assertEqual(run("dpkg", "--compare-versions", version("sensormidi"), "gt",
                             self.first, check=False), "")
        self.assertNotEqual(pid(), instrument)
        for unit in ("sensormidi", SYNTH):
            self.assertTrue(installed(unit))
            self.assertEqual((prop("ActiveState", unit), run("systemctl", "is-enabled", unit)),
                             ("active", "enabled"))
            self.assertTrue(any(line.startswith(f"scripts/install: {unit}: active, enabled")
                                for line in said), said)
        self.assert_tools_gone()
        # The output named by hand, as a player would for a box's own card.
        run(SETUP, "/")
        run("systemctl", "restart", SYNTH)
        self.assert_playing("215,400|0\r\n", 67)
        self.assertIn("67", journal())


if __name__ == "__main__":
    main(sys.argv[1:])

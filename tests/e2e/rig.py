"""The end-to-end rig: the real sensormidi binary in a private /dev.

Inside a private mount namespace, /dev is a fresh tmpfs holding null, a new
devpts instance with its ptmx, and /dev/ttyACM0 as a link to a
pseudo-terminal whose master side the test drives. The raw MIDI calls are
preloaded away by the recorder, which logs each call with its time.
"""

import fcntl
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

PORT = "/dev/ttyACM0"
SKIP = 77
INSIDE = "SENSORMIDI_RIG_INSIDE"
TICK = os.sysconf("SC_CLK_TCK")
# System call numbers that show where an idle program waits.
READ = {"x86_64": 0, "aarch64": 63}.get(os.uname().machine)
SLEEPS = {"x86_64": (35, 230), "aarch64": (101, 115)}.get(os.uname().machine, ())
# The command that runs a binary built for another processor (qemu-user), if any.
EMULATOR = shlex.split(os.environ.get("SENSORMIDI_EMULATOR", ""))
# Bytes written into all sensor ports so far.
SENT = [0]
# An idle program over a three-second wait: it sleeps but for a retry a second (once more
# at each end of the wait), and spins never: a spinning program takes all three seconds.
# CPU time alone is no finer bound: emulated on a busy host, a guest's task is charged the
# time the host takes the virtual processor from it (0.07 s seen for three retries).
IDLE_SLEEPS = 5
IDLE_CPU = 0.5


def main(arguments):
    """Runs the calling file's tests with unittest's own `arguments`; exits 0 when all
    passed."""
    result = unittest.main(argv=[sys.argv[0], *arguments], exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)


def refuse(why):
    """Skips a test that cannot run here, but fails it under CI=true."""
    if os.environ.get("CI") == "true":
        print(f"FAILED: {why} (under CI=true this is a failure, not a skip)")
        sys.exit(1)
    print(f"SKIPPED: {why}")
    sys.exit(SKIP)


def applied(settings):
    """The program's line settings, not a new tty's: canonical, no echo, CR to NL."""
    return bool(settings[3] & termios.ICANON) and not settings[3] & termios.ECHO \
        and bool(settings[0] & termios.ICRNL)


def alternate(send, until, timeout=10, spacing=0.2):
    """Sends note changes, two notes in turn, until `until()` holds."""
    notes = ["100,400|0\r\n", "300,400|0\r\n"]
    deadline = time.monotonic() + timeout
    while not until():
        if time.monotonic() > deadline:
            raise AssertionError(f"no note change was heard in {timeout} s" + seen())
        send(notes[0])
        notes.reverse()
        time.sleep(spacing)


def enter_namespace():
    """Re-runs this script in a private mount namespace with a private /dev."""
    if os.environ.get(INSIDE) == "1":
        make_private_dev()
        return
    env = dict(os.environ, **{INSIDE: "1"})
    reasons = []
    if READ is None:
        reasons.append(f"no system call numbers known for {os.uname().machine}")
    elif shutil.which("unshare"):
        for flags in (["--mount"], ["-r", "--mount"]):
            cmd = ["unshare", *flags, "--propagation", "private", sys.executable, *sys.argv]
            probe = subprocess.run(["unshare", *flags, "true"], capture_output=True, text=True)
            if probe.returncode == 0:
                sys.exit(subprocess.run(cmd, env=env).returncode)
            reasons.append(f"unshare {' '.join(flags)}: {probe.stderr.strip()}")
    else:
        reasons.append("no unshare command (package util-linux)")
    refuse("cannot make a private mount namespace for /dev: " + "; ".join(reasons)
           + ". Run it as root, for example with sudo.")


def make_private_dev():
    stage = tempfile.mkdtemp(prefix="sensormidi-dev-")
    run = lambda *cmd: subprocess.run(cmd, check=True)
    run("mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", stage)
    open(os.path.join(stage, "null"), "w").close()
    run("mount", "--bind", "/dev/null", os.path.join(stage, "null"))
    os.mkdir(os.path.join(stage, "pts"))
    run("mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=620",
        "devpts", os.path.join(stage, "pts"))
    os.symlink("pts/ptmx", os.path.join(stage, "ptmx"))
    # A bind, not a move: a move is refused inside an unprivileged user namespace.
    run("mount", "--rbind", stage, "/dev")


class Sensor:
    """A pseudo-terminal plugged in at /dev/ttyACM0."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)
        os.symlink(self.name, PORT)

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view):]
        SENT[0] += len(data)

    def pending(self):
        """Bytes written that the program has not read yet."""
        return int.from_bytes(fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"), "little")

    def settings(self):
        return termios.tcgetattr(self.slave)

    def unplug(self):
        if os.path.lexists(PORT):
            os.unlink(PORT)
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class Call:
    def __init__(self, line):
        stamp, rest = line.split(" ", 1)
        self.time = float(stamp)
        self.text = rest
        self.name = rest.split()[0]
        # The bytes a write sent; a mark such as BADHANDLE is no byte.
        self.data = bytes(int(b, 16) for b in rest.split()[1:]
                          if len(b) == 2 and self.name == "write")

    def __repr__(self):
        return self.text


class Program:
    """The real binary, started as a session leader, as a service would be."""

    started = []  # every program of this run, for what a failed wait reports

    def __init__(self, binary, recorder, workdir, sensor=None, closed_stdout=False, **settings):
        """recorder: the stand-in to preload for alsa-lib's raw MIDI calls; None for the real.
        sensor: the Sensor plugged in before the start, if any."""
        self.log = os.path.join(workdir, "midi.log")
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "MIDIREC_LOG": self.log,
               # An instrumented build must accept the preloaded library beside its runtime.
               "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}
        command = [*EMULATOR, binary]
        if recorder and EMULATOR:
            # For the emulated program only: the emulator is the build machine's.
            command[-1:-1] = ["-E", f"LD_PRELOAD={recorder}"]
        elif recorder:
            env["LD_PRELOAD"] = recorder
        env.update({k: str(v) for k, v in settings.items()})
        self.out, self.err = [], []
        self._logpos, self._calls = 0, []
        stdout = subprocess.PIPE
        if closed_stdout:
            # A pipe whose reading end is gone: every write to it fails with EPIPE.
            reading, stdout = os.pipe()
            os.close(reading)
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=subprocess.PIPE, env=env, start_new_session=True)
        if closed_stdout:
            os.close(stdout)
        self.pid = self.proc.pid
        streams = [(self.proc.stderr, self.err)]
        if not closed_stdout:
            streams.append((self.proc.stdout, self.out))
        self.readers = [threading.Thread(target=self._collect, args=(s, into), daemon=True)
                        for s, into in streams]
        for r in self.readers:
            r.start()
        # What it reads from here on is the sensor's: start-up reads are done once it
        # waits, and has set the plugged port up. Emulated, the loader's reads of its
        # libraries can look like that wait, and bytes typed before the setup meet the
        # tty's defaults (echo on, ^C flushes the queue).
        Program.started.append(self)
        self.sent_at_start = SENT[0]
        set_up = lambda: sensor is None or applied(sensor.settings())
        try:
            wait_for(lambda: not self.alive() or (self.syscall() in (READ, *SLEEPS) and set_up()),
                     what="the program to start")
        except AssertionError:
            self.stop()  # no test holds it yet: left running, it would load the rest of the run
            raise
        self.base = self.rchar() if self.alive() else 0

    @staticmethod
    def _collect(stream, into):
        for line in iter(stream.readline, b""):
            into.append(line.decode("latin-1").rstrip("\n"))

    def calls(self):
        """The calls recorded so far. Reads only what is new, and only whole lines:
        polling must cost little, or it takes the CPU the program is measured on."""
        try:
            with open(self.log, "rb") as f:
                f.seek(self._logpos)
                new = f.read()
        except FileNotFoundError:
            return list(self._calls)
        whole = new[:new.rfind(b"\n") + 1]
        self._logpos += len(whole)
        self._calls += [Call(line) for line in whole.decode().splitlines()]
        return list(self._calls)

    def tty(self):
        with open(f"/proc/{self.pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[4])

    def syscall(self):
        try:
            with open(f"/proc/{self.pid}/syscall") as f:
                first = f.read().split()[0]
            return int(first) if first.lstrip("-").isdigit() else None
        except (OSError, IndexError):
            return None

    def files(self):
        """What the program's open descriptors point at."""
        fds = f"/proc/{self.pid}/fd"
        # A pty that has gone away still shows, marked as deleted.
        return [os.readlink(os.path.join(fds, fd)).removesuffix(" (deleted)")
                for fd in os.listdir(fds)]

    def rchar(self):
        with open(f"/proc/{self.pid}/io") as f:
            return int(next(line for line in f if line.startswith("rchar:")).split()[1])

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=signal.SIGKILL, timeout=5):
        if self.alive():
            self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout)
        finally:
            if self.alive():
                self.proc.kill()
                self.proc.wait()
        for r in self.readers:
            r.join(2)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        return self.proc.returncode


class StopCases:
    """The stop signals while note 69 sounds. A test case supplies `start_playing()`,
    `port_settings()`, `midi(count)` (waits for that much output, returns it all), what
    the stop adds to it (STOPPED) and a bound on the time from signal to exit."""

    def test_stop_signals(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(sig.name):
                before = self.port_settings()
                program = self.start_playing()
                sounding = len(self.midi(0))
                sent = time.monotonic()
                program.proc.send_signal(sig)
                program.proc.wait(30)
                self.assertLess(time.monotonic() - sent, self.STOP_SECONDS)
                self.assertEqual(program.proc.returncode, -sig)
                self.assertEqual(self.midi(sounding + len(self.STOPPED))[sounding:], self.STOPPED)
                self.assertEqual(self.port_settings(), before)


def cpu(pid):
    """Seconds of CPU the process has used, user and system."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def sleeps(pid):
    """Times the process has gone to sleep: its voluntary context switches."""
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"(?m)^voluntary_ctxt_switches:\s+(\d+)", f.read()).group(1))


def assert_idle(test, pid):
    """Over three seconds a process sleeps, waking at most once a second, and does not spin."""
    before = cpu(pid), sleeps(pid)
    time.sleep(3)
    used = cpu(pid) - before[0], sleeps(pid) - before[1]
    test.assertLessEqual(used[1], IDLE_SLEEPS, f"(CPU s, sleeps): {used}")
    test.assertLess(used[0], IDLE_CPU, f"(CPU s, sleeps): {used}")


def seen():
    """What the programs of this run did, for a failure message."""
    out = ""
    for p in Program.started[-2:]:
        status = "running" if p.alive() else f"exit status {p.proc.returncode}"
        out += (f"\n  program {p.pid}: {status}; stderr {p.err[-5:]}; stdout {p.out[-5:]};"
                f" last calls {p.calls()[-12:]}")
    return out


def wait_for(check, timeout=10, what="condition"):
    """Polls until check() is true; fails the test after a generous timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}" + seen())
        time.sleep(0.01)


def wait_idle(program, sensor, timeout=10):
    """Waits until the program has read every byte sent and sits in a blocking read,
    so it has handled them all. Counting bytes, not watching the queue, is what makes
    this safe: the kernel moves written bytes into the port a little later."""
    def idle():
        read = program.rchar() - program.base
        return read >= SENT[0] - program.sent_at_start and program.syscall() == READ \
            and sensor.pending() == 0
    wait_for(idle, timeout, "the program to read all input")

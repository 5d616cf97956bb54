"""Runs a command in a virtual machine on Debian's own kernel, as root, with
the host's root file system underneath, read-only.

Usage: vm.py [--systemd [--preinstall DEB,...] [--setup SCRIPT] [--sound DIR] [--board HARNESS]]
             [--plug-ins N] [--limit SECONDS] CACHE_DIR COMMAND [ARG...]
Exits with the command's status; 77 when no virtual machine can run here (a
failure instead under CI=true).

The kernel package that linux-image-amd64 depends on now is fetched with
apt-get download and unpacked into CACHE_DIR, never installed; init.sh, the
initramfs's init, says how the command runs: chrooted into the host's root, or
with --systemd as a unit of systemd booted as init. --preinstall unpacks
packages and enables each one's service (the package's name) before the boot;
--setup runs a script with the new root as its argument before the boot.
--sound gives the machine QEMU's sound cards: a PC's codec (intel-hda) and a USB
controller for QEMU's USB audio device, which the guest plugs and unplugs
through QEMU's monitor (/dev/virtio-ports/vm.monitor takes a QMP command a
line and gives its answer; {"execute": "host-clock"} gives the host's monotonic
clock). Each records what it plays into DIR: hda.wav, and dac0.wav to dac2.wav,
one for each plug-in (--plug-ins, 3 by default); DIR/sizes logs their sizes against the
host's clock. --limit raises the run's time limit, for a long run. The codec's driver is not loaded at boot: the
test loads it when card 0 is taken. KVM
is tried first where /dev/kvm is usable; emulation is the fallback.
"""

import ctypes
import json
import os
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from rig import refuse  # noqa: E402

# What init.sh prints when the command starts and when it ends.
UP = "sensormidi-vm-up"
EXIT = "sensormidi-vm-exit: "
KVM_BOOT_SECONDS = 30  # a nested guest that crawls is given up on after this
# The whole run, should a test hang: said before ctest's 1500 s end it. The longest test
# takes about 200 s emulated on an idle host, and up to five times that on a busy one.
LIMIT = 1440
NO_KVM = "kvm-no-boot"  # in the cache: KVM did not boot here once, so it is not tried again
# Loaded by the initramfs, with what they need: the rest comes from the host's modprobe.
EARLY = ["virtio_pci", "9pnet_virtio", "9p", "configfs", "overlay"]

INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "init.sh")
PR_SET_PDEATHSIG = 1  # <sys/prctl.h>


def kernel_version():
    for attempt in range(2):
        out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"],
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            dep = line.split("Depends:")[-1].strip()
            if "Depends:" in line and dep.startswith("linux-image-"):
                return dep.removeprefix("linux-image-")
        if attempt == 0:
            subprocess.run(["apt-get", "update", "-qq"], check=False)
    refuse("apt-cache knows no linux-image-amd64")


def unpack(cache, package, into, prepare=lambda unpacked: None):
    """A package fetched with apt-get download and unpacked into `into`, once."""
    if os.path.isdir(into):
        return into
    with tempfile.TemporaryDirectory(dir=cache) as work:
        subprocess.run(["apt-get", "-o", "APT::Sandbox::User=root", "download", package],
                       cwd=work, check=True, stdout=subprocess.DEVNULL)
        deb = next(f for f in os.listdir(work) if f.endswith(".deb"))
        unpacked = os.path.join(work, "unpacked")
        subprocess.run(["dpkg", "-x", os.path.join(work, deb), unpacked], check=True)
        prepare(unpacked)
        os.rename(unpacked, into)
    return into


def fetch_kernel(cache, version):
    """The kernel and its modules, unpacked with their module index."""
    return unpack(cache, f"linux-image-{version}", os.path.join(cache, version),
                  lambda root: subprocess.run(["depmod", "-b", root, version], check=True))


def merge_usr(layer):
    """The host's /lib and /bin are links into /usr: a directory of the same name in the
    layer would hide them, so its files move to where the links point."""
    for top in ("lib", "bin", "sbin"):
        if os.path.isdir(os.path.join(layer, top)):
            subprocess.run(["cp", "-a", os.path.join(layer, top), os.path.join(layer, "usr")],
                           check=True)
            shutil.rmtree(os.path.join(layer, top))


def fetch_udev(cache):
    """Debian's udev of the host's systemd version, unpacked as a layer of its own."""
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "systemd"],
                             capture_output=True, text=True).stdout
    if not version:
        refuse("no systemd installed (package systemd)")
    return unpack(cache, f"udev={version}", os.path.join(cache, f"udev-{version}"), merge_usr)


def load_order(moddir, names):
    """The module files for `names`, each after what it needs."""
    deps = {}
    with open(os.path.join(moddir, "modules.dep")) as f:
        for line in f:
            path, _, needs = line.partition(":")
            deps[path] = needs.split()
    by_name = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in deps}
    order = []

    def visit(path):
        for dep in deps[path]:
            visit(dep)
        if path not in order:
            order.append(path)
    for name in names:
        visit(by_name[name])
    return order


def cpio(entries):
    """A newc archive of (name, mode, data) entries."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        encoded = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0]
        out += b"070701" + b"".join(b"%08X" % v for v in fields) + encoded
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def initramfs(root, version, path, early=EARLY):
    """The initramfs: busybox, init.sh as its init, and the `early` modules."""
    moddir = os.path.join(root, "lib", "modules", version)
    modules = load_order(moddir, early)
    entries = [("bin", 0o40755, b""), ("modules", 0o40755, b""),
               ("init", 0o100755, open(INIT, "rb").read()),
               ("modules/order", 0o100644,
                "".join(os.path.basename(m) + "\n" for m in modules).encode())]
    with open(shutil.which("busybox"), "rb") as f:
        entries.append(("bin/busybox", 0o100755, f.read()))
    for m in modules:
        with open(os.path.join(moddir, m), "rb") as f:
            entries.append(("modules/" + os.path.basename(m), 0o100644, f.read()))
    with open(path, "wb") as f:
        f.write(cpio(entries))


PLUG_INS = 3  # USB audio recordings, one for each time the guest plugs the device in


def sound_devices(sound, out, codec=True):
    """QEMU's options for the sound cards recording into `sound` (the codec, if `codec`),
    and for the monitor that the guest reaches through a virtio serial port."""
    record = lambda name: ["-audiodev", f"wav,id={name},path={os.path.join(sound, name)}.wav,"
                                        "out.frequency=48000"]
    opts = ["-device", "qemu-xhci,id=xhci"]
    if codec:
        opts = record("hda") + ["-device", "intel-hda", "-device", "hda-output,audiodev=hda"] + opts
    for n in range(PLUG_INS):
        opts += record(f"dac{n}")
    return opts + ["-qmp", f"unix:{out}/qmp,server=on,wait=off"] + port(out, "ask", "vm.monitor")


def port(out, chardev, name):
    """A virtio serial port of the guest's, named `name`, whose host side is a socket."""
    return ["-chardev", f"socket,id={chardev},path={out}/{chardev},server=on,wait=off",
            "-device", f"virtserialport,chardev={chardev},name={name}"]


def connect(path, proc):
    """A connection to one of QEMU's sockets, once QEMU has made it."""
    while proc.poll() is None:
        conn = socket.socket(socket.AF_UNIX)
        try:
            conn.connect(path)
            return conn
        except OSError:
            conn.close()
            time.sleep(0.1)
    return None


def run_board(harness, out, proc):
    """The board's harness on the port's host side, until QEMU ends."""
    conn = connect(os.path.join(out, "board"), proc)
    if conn:
        # Ahead of the emulator's threads for the cores: the board keeps to the wall clock.
        subprocess.run([harness], stdin=conn, check=False, preexec_fn=lambda: os.nice(-15))


def relay_monitor(out, proc):
    """Passes each line from the guest's port to QMP, and QMP's answer back, until QEMU
    ends."""
    qmp, guest = (connect(os.path.join(out, name), proc) for name in ("qmp", "ask"))
    if not qmp or not guest:
        return
    qmp, guest = qmp.makefile("rw"), guest.makefile("rw")

    def answer():
        for line in qmp:
            if "event" not in json.loads(line):
                return line
        raise EOFError
    try:
        answer()  # the greeting
        qmp.write('{"execute": "qmp_capabilities"}\n')
        qmp.flush()
        answer()
        for line in guest:
            if json.loads(line).get("execute") == "host-clock":
                guest.write(json.dumps({"return": time.monotonic()}) + "\n")
            else:
                qmp.write(line)
                qmp.flush()
                guest.write(answer())
            guest.flush()
    except (OSError, EOFError):
        pass


def watch_recordings(sound, proc):
    """Logs each recording's size, as it grows, against the host's monotonic clock: QEMU
    writes a recording at its sample rate, so its samples can be lined up with the host's
    clock (bench/cards_latency.py)."""
    sizes = {}
    with open(os.path.join(sound, "sizes"), "w", buffering=1) as log:  # kept if killed
        while proc.poll() is None:
            now = time.monotonic()
            for name in os.listdir(sound):
                if name.endswith(".wav"):
                    size = os.path.getsize(os.path.join(sound, name))
                    if sizes.get(name) != size:
                        sizes[name] = size
                        log.write(f"{name} {now:.6f} {size}\n")
            time.sleep(0.002)


def boot(accel, root, version, initrd, out, deadline, params, layer, begun, sound, board):
    """Runs the guest on the host's root; returns the command's status, or None if it
    never came up."""
    cmd = qemu(accel, root, version, initrd, out, params, 1024) + [
        "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                   "multidevs=remap"]
    if layer:
        cmd += ["-virtfs", f"local,path={layer},mount_tag=layer,security_model=none,readonly=on",
                "-virtfs", f"local,path={os.path.join(root, 'lib', 'modules')},mount_tag=modules,"
                           "security_model=none,readonly=on"]
    return machine(cmd, out, deadline, begun, sound, board)


def qemu(accel, root, version, initrd, out, params, memory):
    """QEMU's command for a guest of `memory` MB on the kernel of `root`, its console on
    standard output, the per-run folder `out` shared as "out"."""
    cpu = "host" if accel == "kvm" else "max"
    params = " ".join(f"{k}={v}" for k, v in params.items())
    return ["qemu-system-x86_64", "-accel", accel, "-cpu", cpu, "-smp", "2", "-m", str(memory),
            "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot",
            "-kernel", os.path.join(root, "boot", f"vmlinuz-{version}"), "-initrd", initrd,
            "-append", f"console=ttyS0 quiet loglevel=3 panic=-1 vmout={out} {params}",
            "-virtfs", f"local,path={out},mount_tag=out,security_model=none"]


def machine(cmd, out, deadline, begun, sound=None, board=None, devices=(), codec=True,
            said=lambda line: None, prefix=""):
    """Runs QEMU's `cmd`, with the sound cards recording into `sound` (the codec, if
    `codec`), the board's harness and `devices` (more of QEMU's options), until the command
    in it ends; returns its status, or None if it never came up within `deadline` seconds.
    Each line of its console, printed after `prefix`, goes to `said` too."""
    cmd = list(cmd)
    if sound or board:
        cmd += ["-device", "virtio-serial-pci"]
    if sound:
        cmd += sound_devices(sound, out, codec)
    if board:
        cmd += port(out, "board", "vm.board")
    cmd += devices
    accel = cmd[cmd.index("-accel") + 1]
    started = time.monotonic()
    # QEMU goes with the test, however the test ends (killed at its time limit, say).
    dies_with_us = lambda: ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, preexec_fn=dies_with_us)
    if sound:
        threading.Thread(target=relay_monitor, args=(out, proc), daemon=True).start()
        threading.Thread(target=watch_recordings, args=(sound, proc), daemon=True).start()
    if board:
        threading.Thread(target=run_board, args=(board, out, proc), daemon=True).start()
    status, up, pending = None, False, b""
    try:
        while True:
            limit = min(LIMIT - (time.monotonic() - begun),
                        (LIMIT if up else deadline) - (time.monotonic() - started))
            if limit <= 0 or not select.select([proc.stdout], [], [], limit)[0]:
                print(f"vm: {'time limit' if up else 'no boot'} with {accel}", flush=True)
                return 1 if up else None
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            *lines, pending = (pending + chunk).split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip("\r")
                if "Resetting rate control" in line:
                    # QEMU's audio fell behind and threw away what it held: when, for the
                    # recordings' checks (heard.py). It may follow a guest's unended line.
                    line += f" at {time.monotonic():.3f} on the host's clock"
                print(prefix + line, flush=True)
                said(line)
                if line == UP:
                    up = True
                    print(f"vm: up after {time.monotonic() - started:.1f} s ({accel})", flush=True)
                elif line.startswith(EXIT):
                    status = int(line[len(EXIT):])
        if status is not None:
            return status
        return 1 if up else None
    finally:
        proc.kill()
        proc.wait()


def main():
    # Stopped from outside (a test's time limit), the machine goes with it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    begun = time.monotonic()
    args = sys.argv[1:]
    systemd = args[:1] == ["--systemd"]
    early = {}
    if systemd:
        args = args[1:]
        while args[:1] in (["--preinstall"], ["--setup"], ["--sound"], ["--board"],
                           ["--plug-ins"], ["--limit"]):
            early[args[0]] = args[1]
            args = args[2:]
    global PLUG_INS, LIMIT
    PLUG_INS = int(early.get("--plug-ins", PLUG_INS))
    LIMIT = int(early.get("--limit", LIMIT))
    if len(args) < 2:
        sys.exit(__doc__)
    cache, command = os.path.abspath(args[0]), args[1:]
    if os.geteuid() != 0:
        refuse("the virtual machine's tests need root (its 9p share of / and the kernel's "
               "module tools); run them with sudo")
    for tool, package in (("qemu-system-x86_64", "qemu-system-x86"), ("busybox", "busybox-static"),
                          ("depmod", "kmod"), ("apt-get", "apt")):
        if not shutil.which(tool):
            refuse(f"no {tool} (package {package})")
    os.makedirs(cache, exist_ok=True)
    version = kernel_version()
    root = fetch_kernel(cache, version)
    params, layer = {}, None
    if systemd:
        layer = fetch_udev(cache)
        params = {"vmsystemd": "1", "systemd.show_status": "false",
                  "systemd.log_level": "warning"}
        if "--preinstall" in early:
            params["vmpreinstall"] = ",".join(os.path.abspath(d)
                                              for d in early["--preinstall"].split(","))
        if "--setup" in early:
            params["vmsetup"] = os.path.abspath(early["--setup"])
        if "--sound" in early:
            params["modprobe.blacklist"] = "snd_hda_intel"
    with tempfile.TemporaryDirectory(prefix="sensormidi-vm-") as out:
        initrd = os.path.join(out, "initrd.cpio")
        initramfs(root, version, initrd)
        if systemd:
            subprocess.run(["tar", "-cf", os.path.join(out, "dpkg.tar"), "-C", "/var/lib", "dpkg"],
                           check=True)
        no_kvm = os.path.join(cache, NO_KVM)
        kvm = os.access("/dev/kvm", os.R_OK | os.W_OK) and not os.path.exists(no_kvm)
        accels = (["kvm"] if kvm else []) + ["tcg"]
        for accel in accels:
            env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "PYTHONDONTWRITEBYTECODE": "1",
                   "VM_OUT": out, "VM_MODULES": root, "VM_ACCEL": accel}
            # CI, and the tools a test is given by CTest (SENSORMIDI_...).
            env.update({k: v for k, v in os.environ.items()
                        if k == "CI" or k.startswith("SENSORMIDI_")})
            with open(os.path.join(out, "run.sh"), "w") as f:
                f.write("export " + " ".join(f"{k}={shlex.quote(v)}" for k, v in env.items())
                        + f"\ncd {shlex.quote(os.getcwd())} 2>/dev/null || cd /\n"
                        f"exec {shlex.join(command)}\n")
            deadline = (KVM_BOOT_SECONDS * (3 if systemd else 1)) if accel == "kvm" else 400
            status = boot(accel, root, version, initrd, out, deadline, params, layer, begun,
                          early.get("--sound") and os.path.abspath(early["--sound"]),
                          early.get("--board") and os.path.abspath(early["--board"]))
            if status is not None:
                sys.exit(status)
            if accel == "kvm":
                open(no_kvm, "w").close()
    sys.exit(1)


if __name__ == "__main__":
    main()

"""The player's own path, walked on a fresh box: a virtual machine that boots a disk image of
a fresh Debian 12 (not the build machine's root), with no compiler, CMake or debhelper, and
a user `player` as a Pi's first user is made, who does what the README says (walk.py, in the
guest). The box reaches no network: its only apt source is a repository that this rig makes
on the host of what the walk needs, served read-only over 9p (as copy:, so that apt fetches
into its cache as from a mirror), its lists empty at first.

The base image is made once with mmdebstrap and kept, with the repository, in CACHE (outside
the checkout), keyed by what it holds; each box boots a copy-on-write overlay of it, so that a
reboot or a power cut keeps what was written. Two boxes: a PC (card 0 its codec, QEMU's
intel-hda, recorded; card 1 free) and a Pi (cards 0 to 2 stand-ins named as a Pi 4's, a USB
DAC plugged later: QEMU's usb-audio, recorded). What the cards recorded is checked here, once
each boot is over.

Usage: fresh.py BUILD_DIR [--whole] [STEP...]   (as root; CACHE is $SENSORMIDI_FRESH_CACHE,
       by default /var/cache/sensormidi-fresh)
--whole: the whole walk (bench/walk), with a downloaded tree installed on the PC and an
upgrade on the Pi. STEP: walk only these steps (pc, pi-install, pi-rebooted, pi-cut,
pc-download, pi-upgrade), on the boxes as the last walk left them.
"""

import hashlib
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.realpath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]
import vm  # noqa: E402
from heard import by_time, dropped, played  # noqa: E402
from listen import RATE, SILENCE, STEP, heard_as, level, onsets  # noqa: E402
from recorded import read_sizes, read_wav  # noqa: E402
from rig import refuse  # noqa: E402

CACHE = os.environ.get("SENSORMIDI_FRESH_CACHE", "/var/cache/sensormidi-fresh")
# What a Raspberry Pi OS Lite box has that matters here, and the kernel the rig boots.
PACKAGES = ["systemd-sysv", "udev", "dbus", "libpam-systemd", "sudo", "git", "kmod",
            "alsa-utils", "python3", "procps"]
# The player, as a Pi's first user: sudo without a password, and the groups the README names.
IMAGE_HOOK = """#!/bin/sh
set -e
chroot "$1" useradd -m -s /bin/bash -G sudo,dialout,audio player
echo 'player ALL=(ALL) NOPASSWD: ALL' >"$1/etc/sudoers.d/010_player-nopasswd"
chmod 440 "$1/etc/sudoers.d/010_player-nopasswd"
echo box >"$1/etc/hostname"
printf '127.0.1.1\\tbox\\n' >>"$1/etc/hosts"
printf '/dev/vda / ext4 errors=remount-ro 0 1\\nrepo /srv/repo 9p trans=virtio,version=9p2000.L,msize=262144,ro 0 0\\n' >"$1/etc/fstab"
mkdir -p "$1/srv/repo"
rm -f "$1"/etc/apt/sources.list.d/*
echo 'deb [trusted=yes] copy:/srv/repo ./' >"$1/etc/apt/sources.list"
rm -rf "$1"/var/lib/apt/lists/*
"""
IMAGE_MB = 6144
# What the walk installs: scripts/play's packages on the PC; the packages' build
# dependencies (apt-get build-dep, which adds build-essential) and what they need to run.
PLAY = ["cmake", "g++", "make", "libasound2-dev", "libfluidsynth3", "libudev-dev",
        "timgm6mb-soundfont", "alsa-utils"]
RUN = ["timgm6mb-soundfont", "kmod"]
EARLY = vm.EARLY + ["virtio_blk", "crc32c_generic", "ext4"]
# The boxes: memory (MB; a Pi 4's 2 GB), QEMU's sound cards, and the modules and options
# for the cards a box has at boot.
BOXES = {
    "pc": {"memory": 2048, "codec": True},
    "pi": {"memory": 2048, "codec": False,
           "modprobe": "options snd-dummy enable=1,1,1 id=vc4hdmi0,vc4hdmi1,Headphones\n",
           "modules": "snd_dummy\n"},
}
# The walk: each boot, its box, and whether the DAC is plugged at power-on; the whole walk
# (--whole) adds a downloaded tree's install on the PC and an upgrade on the Pi: a package
# build each, eight minutes and more emulated, past the tests' budget.
BOOTS = [("pc", "pc", False), ("pi-install", "pi", False), ("pi-rebooted", "pi", True),
         ("pi-cut", "pi", True)]
WHOLE = [("pc-download", "pc", False), ("pi-upgrade", "pi", True)]
# A boot that hangs is ended after this: the longest (the package build) takes about 10
# minutes emulated, and up to three times that beside the other tests.
LIMIT = 2400


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, text=True, capture_output=True, **kw).stdout


def key(*parts):
    return hashlib.sha256(json.dumps(parts).encode()).hexdigest()[:16]


def image(version):
    """The base image for the kernel `version` (qcow2), made once and kept; the dpkg
    status it holds is kept beside it, for the repository's making."""
    made = os.path.join(CACHE, f"image-{key(PACKAGES, IMAGE_HOOK, version, IMAGE_MB)}")
    if os.path.exists(made + ".qcow2"):
        return made
    began = time.monotonic()
    os.makedirs(CACHE, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as work:
        root, raw = os.path.join(work, "root"), os.path.join(work, "root.img")
        hook = os.path.join(work, "hook")
        with open(hook, "w") as f:
            f.write(IMAGE_HOOK)
        os.chmod(hook, 0o755)
        # In a mount namespace of its own: a run cut short leaves no /proc mounted inside.
        subprocess.run(["unshare", "--mount", "--propagation", "private",
                        "mmdebstrap", "--variant=apt", "--quiet",
                        "--include=" + ",".join(PACKAGES + [f"linux-image-{version}"]),
                        "--customize-hook=" + hook, "bookworm", root,
                        "/etc/apt/sources.list.d/debian.sources"], check=True)
        shutil.copy(os.path.join(root, "var/lib/dpkg/status"), made + ".status")
        subprocess.run(["mkfs.ext4", "-q", "-L", "root", "-d", root, raw, f"{IMAGE_MB}M"],
                       check=True)
        subprocess.run(["qemu-img", "convert", "-O", "qcow2", raw, made + ".qcow2.new"],
                       check=True)
        os.rename(made + ".qcow2.new", made + ".qcow2")
    print(f"fresh: the base image made in {time.monotonic() - began:.0f} s: {made}.qcow2",
          flush=True)
    return made


def repository(made):
    """The apt repository of what the walk installs on top of the image, fetched once with
    apt (what is there already is kept) and indexed; its folder."""
    apt = ["apt-get", "-s", "-q", "--no-install-recommends", "-o", "APT::Architectures=amd64",
           "-o", f"Dir::State::status={made}.status", "-o", "Debug::NoLocking=1"]
    needed = set()
    for cmd in (apt + ["install"] + PLAY + RUN, apt + ["-P", "nocheck", "build-dep", TREE]):
        for line in run(*cmd).splitlines():
            words = line.split()
            if words[:1] == ["Inst"]:
                needed.add(f"{words[1]}={(words[3] if words[2].startswith('[') else words[2])[1:]}")
    repo = os.path.join(CACHE, "repo")
    os.makedirs(repo, exist_ok=True)
    have = {f"{name}={version.replace('%3a', ':')}"
            for name, version, _ in (f[:-4].split("_") for f in os.listdir(repo) if f.endswith(".deb"))}
    missing = sorted(needed - have)
    if missing:
        subprocess.run(["apt-get", "-q", "-o", "APT::Sandbox::User=root", "download", *missing],
                       cwd=repo, check=True, stdout=subprocess.DEVNULL)
    index = os.path.join(repo, "Packages")
    if missing or not os.path.exists(index):
        with open(index, "w") as f:
            subprocess.run(["dpkg-scanpackages", "-m", "."], cwd=repo, stdout=f,
                           stderr=subprocess.DEVNULL, check=True)
        with open(os.path.join(repo, "Release"), "w") as f:
            subprocess.run(["apt-ftparchive", "release", "."], cwd=repo, stdout=f, check=True)
    print(f"fresh: the repository holds {len(needed)} packages for the walk "
          f"({len(missing)} fetched now)", flush=True)
    return repo


def sources(out):
    """The player's trees, from this repository: its last commit (or, with changes not yet
    committed, the work tree as it is, committed in a scratch clone), as a git bundle to
    clone; and a newer commit, as a bundle to pull and as an archive without .git, as
    downloaded."""
    scratch = os.path.join(out, "scratch")
    run("git", "clone", "-q", "--shared", "--no-checkout", TREE, scratch)
    git = lambda *a: run("git", "-C", scratch, "--work-tree", TREE, "-c", "user.name=walk",
                         "-c", "user.email=walk@box", *a)
    git("add", "-A")
    if subprocess.run(["git", "-C", scratch, "diff", "--cached", "--quiet", "HEAD"]).returncode:
        git("commit", "-q", "-m", "The work tree as it is")
    branch = git("rev-parse", "--abbrev-ref", "HEAD").strip()
    git("bundle", "create", os.path.join(out, "sensormidi.bundle"), "HEAD", branch)
    # A newer commit: the player's own change, on top.
    run("git", "-C", scratch, "-c", "user.name=walk", "-c", "user.email=walk@box", "commit",
        "-q", "--allow-empty", "-m", "A newer commit")
    git("bundle", "create", os.path.join(out, "sensormidi-newer.bundle"), "HEAD", branch)
    with open(os.path.join(out, "sensormidi-newer.tar.gz"), "wb") as f:
        archive = subprocess.Popen(["git", "-C", scratch, "archive", "--prefix=sensormidi-newer/",
                                    "HEAD"], stdout=subprocess.PIPE)
        subprocess.run(["gzip", "-n"], stdin=archive.stdout, stdout=f, check=True)
        if archive.wait():
            raise RuntimeError("git archive failed")
    shutil.rmtree(scratch)


def boot(name, box, dac, overlay, repo, inputs, kernel, version, initrd, sound):
    """Boots the box's overlay and walks the player's steps of `name` (walk.py); the
    walk's report (its "WALK {...}" line), with the host's time at power-on."""
    out = tempfile.mkdtemp(prefix="sensormidi-walk-")
    try:
        os.chmod(out, 0o755)  # the player reads the trees from it
        for f in os.listdir(inputs):
            os.link(os.path.join(inputs, f), os.path.join(out, f))
        layout = BOXES[box]
        # The cards the box has at boot, as its kernel's own drivers make them.
        for folder, text in (("modprobe.d", layout.get("modprobe")),
                             ("modules-load.d", layout.get("modules"))):
            if text:
                os.makedirs(os.path.join(out, "run", folder))
                with open(os.path.join(out, "run", folder, "cards.conf"), "w") as f:
                    f.write(text)
        accel = "tcg"
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "PYTHONDONTWRITEBYTECODE": "1",
               "VM_OUT": out, "VM_MODULES": "/", "VM_ACCEL": accel}
        env.update({k: v for k, v in os.environ.items() if k == "CI"})
        with open(os.path.join(out, "run.sh"), "w") as f:
            f.write("export " + " ".join(f"{k}={shlex.quote(v)}" for k, v in env.items()) +
                    "\nmkdir -p /vm/tree && mount -t 9p -o trans=virtio,version=9p2000.L,ro tree "
                    f"/vm/tree\nexec python3 /vm/tree/tests/vm/walk.py {name}\n")
        cmd = vm.qemu(accel, kernel, version, initrd, out,
                      {"vmdisk": "1", "systemd.show_status": "false",
                       "systemd.log_level": "warning"}, layout["memory"])
        cmd += ["-drive", f"file={overlay},if=virtio,format=qcow2,cache=unsafe", "-nic", "none",
                "-virtfs", f"local,path={TREE},mount_tag=tree,security_model=none,readonly=on",
                "-virtfs", f"local,path={repo},mount_tag=repo,security_model=none,readonly=on"]
        devices = ["-device", "usb-audio,id=dac0,audiodev=dac0,bus=xhci.0"] if dac else []
        os.makedirs(sound, exist_ok=True)
        print(f"\nfresh: {name}, on the {box}'s box", flush=True)
        began = time.monotonic()
        lines = []
        status = vm.machine(cmd, out, 400, began, sound=sound, devices=devices,
                            codec=layout["codec"], said=lines.append)
        print(f"fresh: {name} took {time.monotonic() - began:.0f} s", flush=True)
        walk = [json.loads(line[5:]) for line in lines if line.startswith("WALK ")]
        if status != 0 or not walk:
            raise SystemExit(f"fresh: {name} failed (status {status})")
        return walk[-1] | {"power_on": began, "drops": dropped(lines)}
    finally:
        shutil.rmtree(out)


def check(name, box, walk, sound):
    """What the box's card recorded in the boot `name`: each note that the walk played,
    after a silence, at its pitch; on the PC, the last one's end played out after Ctrl-C.
    Returns the host's time when the first was played."""
    card = "hda" if box == "pc" else "dac0"
    path = os.path.join(sound, card + ".wav")
    recorded = read_wav(path) if os.path.exists(path) else numpy.zeros(0)
    found, sizes = onsets(recorded), read_sizes(sound, card)
    steps = [tuple(step) for step in walk["notes"]]
    _, faults, lost, stray = by_time(
        [played(sizes, o) for o in found], steps, walk["drops"],
        lambda i, note: heard_as(recorded, found[i], note, walk["hold"]))
    print(f"fresh: {name}: {card}.wav, {len(recorded) / RATE:.1f} s; notes begin at "
          f"{[round(o / RATE, 2) for o in found]} s; played {[n for _, n in steps]}; lost by "
          f"QEMU where it threw its audio away {walk['drops']}: {lost}", flush=True)
    if faults or stray:
        raise SystemExit(f"fresh: {name}: not heard as played: {faults}; stray: {stray}")
    if walk.get("stopped"):
        # Stopped while the last note sounded: it ends in its release, not cut off.
        last = level(recorded[found[-1] + RATE // 10:found[-1] + int(walk["hold"] * RATE)])
        end = level(recorded[-STEP * 5:])
        print(f"fresh: {name}: the last note at {last:.0f} dB, the recording's end at "
              f"{end:.0f} dB", flush=True)
        if end > last - 20 and end > SILENCE:
            raise SystemExit(f"fresh: {name}: the last note was cut off, not ended")
    return played(sizes, found[0]) if found else None


def main(build, whole, steps):
    if os.geteuid() != 0:
        refuse("the fresh box's walk needs root (mmdebstrap, and the virtual machine)")
    for tool, package in (("mmdebstrap", "mmdebstrap"), ("qemu-img", "qemu-utils"),
                          ("mkfs.ext4", "e2fsprogs"), ("apt-ftparchive", "apt-utils"),
                          ("dpkg-scanpackages", "dpkg-dev"), ("busybox", "busybox-static"),
                          ("qemu-system-x86_64", "qemu-system-x86")):
        if not shutil.which(tool):
            refuse(f"no {tool} (package {package})")
    began = time.monotonic()
    version = vm.kernel_version()
    os.makedirs(os.path.join(build, "vm-cache"), exist_ok=True)
    kernel = vm.fetch_kernel(os.path.join(build, "vm-cache"), version)
    made = image(version)
    repo = repository(made)
    work = os.path.join(build, "vm-walk")
    inputs = os.path.join(work, "inputs")
    shutil.rmtree(work if not steps else inputs, ignore_errors=True)
    os.makedirs(inputs)
    sources(inputs)
    initrd = os.path.join(work, "initrd.cpio")
    vm.initramfs(kernel, version, initrd, EARLY)
    vm.LIMIT = LIMIT
    print(f"fresh: ready to boot after {time.monotonic() - began:.0f} s", flush=True)
    took = {}
    for name, box, dac in BOOTS + (WHOLE if whole else []):
        if steps and name not in steps:
            continue
        overlay = os.path.join(work, box + ".qcow2")
        if not os.path.exists(overlay):
            run("qemu-img", "create", "-q", "-f", "qcow2", "-b", made + ".qcow2", "-F", "qcow2",
                overlay)
        sound = os.path.join(work, name)
        report = boot(name, box, dac, overlay, repo, inputs, kernel, version, initrd, sound)
        first = check(name, box, report, sound)
        took[name] = {k: round(v) for k, v in report.get("took", {}).items()}
        if name == "pi-rebooted":
            took[name]["power-on to the first note heard"] = round(first - report["power_on"], 1)
        print(f"fresh: {time.monotonic() - began:.0f} s so far", flush=True)
    print(f"fresh: the walk took {time.monotonic() - began:.0f} s: {json.dumps(took)}", flush=True)


if __name__ == "__main__":
    whole = sys.argv[2:3] == ["--whole"]
    main(os.path.abspath(sys.argv[1]), whole, sys.argv[2 + whole:])

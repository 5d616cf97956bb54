#!/usr/bin/env bash
# Checks what gets installed: the units are accepted by systemd, the man page
# renders without warnings, and the Debian packages that dpkg-buildpackage makes
# are lintian-clean, hold every file, carry debhelper's scripts for both units,
# are marked with the architecture their binaries were built for, and (native
# builds) are hardened and reproducible. The synth's has its settings a conffile,
# its libraries' dependencies and a short output buffer; a cross build makes it
# where FluidSynth's library for that architecture is installed.
# Leaves the packages in BUILD_DIR/debs, a newer version of them in
# BUILD_DIR/debs/upgrade, and 1.2's, built from its commit, in BUILD_DIR/debs/1.2,
# for the virtual machine's tests.
# Usage: check.sh BUILD_DIR SOURCE_DIR [DEBIAN_ARCH, for a cross build]
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") cross=${3:-}
here=$(dirname "$(realpath "$0")")
RELEASE_1_2=596b782 # the last commit of 1.2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "-- systemd units"
# verify needs the programs where the Exec lines say: point them at the built ones.
sed "s|^ExecStart=.*|ExecStart=$build/sensormidi|" "$build/sensormidi.service" >"$work/sensormidi.service"
units=("$work/sensormidi.service")
if [ -x "$build/sensormidi-synth" ]; then
    sed "s|^ExecStart=.*|ExecStart=$build/sensormidi-synth|" "$source/dist/synth/sensormidi-synth.service" \
        >"$work/sensormidi-synth.service"
    units+=("$work/sensormidi-synth.service")
fi
for unit in "${units[@]}"; do
    out=$(systemd-analyze verify --man=no "$unit" 2>&1)
    [ -z "$out" ] || { echo "$out"; exit 1; }
done
grep -qx "ExecStart=/usr/bin/sensormidi" "$build/sensormidi.service"

echo "-- man pages"
for page in "$source/dist/sensormidi.1" "$source/dist/sensormidi-monitor.1" "$source/dist/synth/sensormidi-synth.8"; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$out" ] || { echo "$out"; exit 1; }
done

echo "-- Debian packages"
debs=$build/debs
if [ -n "$cross" ]; then
    profiles=cross,nocheck
    if ! dpkg-query -W -f='${Status}' "libfluidsynth3:$cross" 2>/dev/null | grep -q "ok installed"; then
        echo "no libfluidsynth3:$cross installed: the instrument's package alone"
        profiles+=,pkg.sensormidi.nosynth
    fi
    "$source/scripts/build-debs" "$source" "$debs" -a "$cross" -P"$profiles" -B
else
    "$source/scripts/build-debs" "$source" "$debs"
fi
deb=$(ls "$debs"/sensormidi_*.deb)
ls "$debs"/*.deb

echo "-- lintian"
# Every info tag that stays is overridden in debian/*.lintian-overrides, with its reason.
lintian -I --fail-on error,warning,info "$debs"/*.changes >"$work/lintian" 2>&1 ||
    { cat "$work/lintian"; echo "lintian found the tags above"; exit 1; }

# has PACKAGE FILE...: the package holds every file named.
has() {
    dpkg-deb -c "$1" | awk '{print $6}' >"$work/files"
    for f in "${@:2}"; do
        grep -qx "$f" "$work/files" || { echo "missing from $1: $f"; cat "$work/files"; exit 1; }
    done
}
# units PACKAGE UNIT: debhelper's scripts enable, start, restart (on upgrade), stop
# and purge the unit.
units() {
    for script in postinst prerm postrm; do
        dpkg-deb --ctrl-tarfile "$1" | tar -xO "./$script" >"$work/$script"
    done
    for want in "postinst:deb-systemd-helper enable '$2'" "postinst:_dh_action=start" \
        "postinst:_dh_action=restart" "postinst:deb-systemd-invoke \$_dh_action '$2'" \
        "prerm:deb-systemd-invoke stop '$2'" "postrm:deb-systemd-helper purge '$2'"; do
        grep -qF "${want#*:}" "$work/${want%%:*}" ||
            { echo "$(basename "$1"): no \"${want#*:}\" in ${want%%:*}"; exit 1; }
    done
    # (Without enabling, debhelper asks this first and enables only what was enabled before.)
    ! grep -qF "debian-installed '$2'" "$work/postinst" || { echo "$2 is not enabled on install"; exit 1; }
}
has "$deb" ./usr/bin/sensormidi ./usr/share/man/man1/sensormidi.1.gz \
    ./lib/systemd/system/sensormidi.service ./usr/lib/udev/rules.d/60-sensormidi.rules \
    ./usr/share/doc/sensormidi/examples/usb-midi-card1.conf ./usr/share/doc/sensormidi/copyright
units "$deb" sensormidi.service
[ -n "$(ls "$debs"/sensormidi-dbgsym_*.deb)" ]

# marked PACKAGE PROGRAM: the package is marked with the architecture of its program, and
# a cross build's not with the build machine's; its libraries are its dependencies.
marked() {
    rm -rf "$work/root" && dpkg-deb -x "$1" "$work/root"
    elf=$(readelf -h "$work/root$2")
    case $elf in
    *"Machine:"*"X86-64"*) built=amd64 ;;
    *"Machine:"*"AArch64"*) built=arm64 ;;
    *"Machine:"*"ARM"*"hard-float ABI"*) built=armhf ;;
    *) echo "$elf"; echo "binary of an unknown architecture"; exit 1 ;;
    esac
    arch=$(dpkg-deb -f "$1" Architecture)
    echo "$(basename "$1"): Architecture: $arch"
    [ "$arch" = "$built" ] && [ "$arch" = "${cross:-$(dpkg --print-architecture)}" ] ||
        { echo "package $(basename "$1") marked $arch holds a binary for $built"; exit 1; }
    depends=$(dpkg-deb -f "$1" Depends)
    echo "Depends: $depends"
    for lib in "${@:3}"; do
        grep -qw "$lib" <<<"$depends" || { echo "no dependency on $lib"; exit 1; }
    done
    # Debian 12's build flags have no control flow protection to ask for.
    [ -n "$cross" ] || hardening-check --nocfprotection "$work/root$2"
    # On a 32-bit board, the calls with 64-bit file offsets: the others fail on files and
    # directory entries beyond 2 GB's offsets (readdir on ext4, with EOVERFLOW).
    if readelf -h "$work/root$2" | grep -q 'Class: *ELF32'; then
        narrow=$(readelf --dyn-syms -W "$work/root$2" | awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}' |
            grep -xE 'readdir|open|openat|fopen|lseek|stat|fstat|lstat|fstatat|mmap|ftruncate' || true)
        [ -z "$narrow" ] || { echo "$(basename "$1"): built without large-file support: $narrow"; exit 1; }
    fi
}
marked "$deb" /usr/bin/sensormidi libasound2

echo "-- synth package"
synth=$(ls "$debs"/sensormidi-synth_*.deb 2>/dev/null || true)
if [ -z "$synth" ] && [ -n "$cross" ]; then
    echo "1 passed, 0 failed"
    exit 0
fi
has "$synth" ./etc/default/sensormidi-synth ./usr/lib/modprobe.d/sensormidi-synth.conf \
    ./lib/systemd/system/sensormidi-synth.service ./usr/share/doc/sensormidi-synth/copyright \
    ./usr/sbin/sensormidi-synth ./usr/share/man/man8/sensormidi-synth.8.gz
units "$synth" sensormidi-synth.service
dpkg-deb --ctrl-tarfile "$synth" | tar -xO ./conffiles | grep -qx /etc/default/sensormidi-synth ||
    { echo "the settings are no conffile"; exit 1; }
marked "$synth" /usr/sbin/sensormidi-synth libfluidsynth3 libudev1 libasound2 timgm6mb-soundfont kmod
# Neither the fluidsynth program nor the scripts around it any more.
! grep -qw fluidsynth <<<"$depends" || { echo "the synth still needs the fluidsynth program"; exit 1; }
[ -z "$(ls "$debs"/sensormidi-synth-dbgsym_*.deb)" ] && { echo "no debug symbols for the synth"; exit 1; }
if [ -n "$cross" ]; then
    echo "1 passed, 0 failed"
    exit 0
fi
# The shipped buffer, periods x frames / rate, under 5 ms: "auto", which starts at 64 frames
# and climbs only where the box cannot hold them; its font, TimGM6mb's.
# shellcheck disable=SC1091
(. "$work/root/etc/default/sensormidi-synth"
    [ "$PERIOD_SIZE" = auto ] || { echo "PERIOD_SIZE=$PERIOD_SIZE shipped, not auto"; exit 1; }
    us=$((PERIODS * 64 * 1000000 / SAMPLE_RATE))
    echo "output buffer: $PERIODS x 64 frames (auto's first) at $SAMPLE_RATE Hz = $us us"
    [ "$us" -lt 5000 ] || { echo "the output buffer is 5 ms or more"; exit 1; }
    echo "sound font: $SOUND_FONT"
    dpkg -S "$SOUND_FONT" | grep -q '^timgm6mb-soundfont:' || { echo "the sound font is not TimGM6mb's"; exit 1; })

echo "-- reproducible"
# The same tree, from another directory at another time, in another time zone, with
# another umask and without its tests (as scripts/install builds): the same bytes.
(umask 0002 && TZ=Pacific/Kiritimati "$source/scripts/build-debs" "$source" "$work/elsewhere/debs" \
    -Pnocheck)
for first in "$debs"/*.deb; do
    again=$work/elsewhere/debs/$(basename "$first")
    if ! cmp -s "$first" "$again"; then
        sha256sum "$first" "$again"
        diffoscope --text - "$first" "$again" || true
        echo "$(basename "$first") differs between two builds"
        exit 1
    fi
done
sha256sum "$debs"/*.deb

echo "-- piuparts"
# Both packages installed with their dependencies into a fresh Debian chroot, removed
# and purged: the chroot must be as it was. The base chroot is made once and kept.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 'Created-By: Packages' |
    awk -v c="$codename" '$2 == c {print $1; exit}')
base=$build/piuparts/$codename.tgz
if [ ! -s "$base" ]; then
    rm -rf "$build/piuparts" && mkdir -p "$build/piuparts"
    debootstrap --variant=minbase "$codename" "$build/piuparts/root" "$mirror" \
        >"$build/piuparts/debootstrap.log" 2>&1 || { tail -n 20 "$build/piuparts/debootstrap.log"; exit 1; }
    tar -C "$build/piuparts/root" -czf "$base.part" . && mv "$base.part" "$base"
    rm -rf "$build/piuparts/root"
fi
piuparts --basetgz="$base" -d "$codename" -m "$mirror" --no-upgrade-test "$deb" "$synth" \
    >"$build/piuparts/log" 2>&1 || { tail -n 60 "$build/piuparts/log"; exit 1; }
tail -n 2 "$build/piuparts/log"

echo "-- a newer version, for the upgrade tests"
# The same packages, repacked as a newer version: an upgrade needs no other build.
mkdir -p "$debs/upgrade"
for pkg in "$deb" "$synth"; do
    rm -rf "$work/repack" && dpkg-deb -R "$pkg" "$work/repack"
    sed -i "s/^Version: .*/Version: $(dpkg-deb -f "$deb" Version)+1/" "$work/repack/DEBIAN/control"
    dpkg-deb -b "$work/repack" "$debs/upgrade/" >/dev/null
done
ls "$debs"/upgrade/*.deb

echo "-- 1.2 as released, for the upgrade test"
# Built once from its own commit: its synth is the fluidsynth program with scripts.
old=$build/debs-1.2
if [ ! -s "$old/sensormidi-synth_1.2_all.deb" ]; then
    git -C "$source" cat-file -e "$RELEASE_1_2^{commit}" ||
        { echo "no commit $RELEASE_1_2 (1.2) in $source: a shallow clone?"; exit 1; }
    git -C "$source" worktree prune
    git -C "$source" worktree add -q --detach "$work/1.2" "$RELEASE_1_2"
    "$source/scripts/build-debs" "$work/1.2" "$old.part" -b -Pnocheck
    git -C "$source" worktree remove --force "$work/1.2"
    rm -rf "$old" && mv "$old.part" "$old"
fi
rm -rf "$debs/1.2" && mkdir -p "$debs/1.2" && cp "$old"/*.deb "$debs/1.2/"
ls "$debs"/1.2/*.deb
echo "1 passed, 0 failed"

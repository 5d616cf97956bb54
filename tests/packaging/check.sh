#!/usr/bin/env bash
# Checks what gets installed: the units are accepted by systemd, the man page
# renders without warnings, and the Debian packages that dpkg-buildpackage makes
# are lintian-clean, hold every file, carry debhelper's scripts for both units,
# are marked with the architecture their binary was built for, and (native
# builds) are hardened and reproducible. The synth's is for every architecture,
# with its settings a conffile, its dependencies and a short output buffer.
# Leaves the packages in BUILD_DIR/debs, and a newer version of them in
# BUILD_DIR/debs/upgrade, for the virtual machine's tests.
# Usage: check.sh BUILD_DIR SOURCE_DIR [DEBIAN_ARCH, for a cross build]
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") cross=${3:-}
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "-- systemd units"
# verify needs the programs where the Exec lines say: point them at the built ones.
sed "s|^ExecStart=.*|ExecStart=$build/sensormidi|" "$build/sensormidi.service" >"$work/sensormidi.service"
sed "s|/usr/lib/sensormidi-synth/|$source/dist/synth/|" "$source/dist/synth/sensormidi-synth.service" \
    >"$work/sensormidi-synth.service"
for unit in "$work/sensormidi.service" "$work/sensormidi-synth.service"; do
    out=$(systemd-analyze verify --man=no "$unit" 2>&1)
    [ -z "$out" ] || { echo "$out"; exit 1; }
done
grep -qx "ExecStart=/usr/bin/sensormidi" "$build/sensormidi.service"

echo "-- man page"
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$source/dist/sensormidi.1" 2>&1 >/dev/null)
[ -z "$out" ] || { echo "$out"; exit 1; }

echo "-- Debian packages"
debs=$build/debs
if [ -n "$cross" ]; then
    "$here/build-debs.sh" "$source" "$debs" -a "$cross" -Pcross,nocheck -B
else
    "$here/build-debs.sh" "$source" "$debs"
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
# A cross build must not be marked with the build machine's architecture.
dpkg-deb -x "$deb" "$work/root"
elf=$(readelf -h "$work/root/usr/bin/sensormidi")
case $elf in
*"Machine:"*"X86-64"*) built=amd64 ;;
*"Machine:"*"AArch64"*) built=arm64 ;;
*"Machine:"*"ARM"*"hard-float ABI"*) built=armhf ;;
*) echo "$elf"; echo "binary of an unknown architecture"; exit 1 ;;
esac
arch=$(dpkg-deb -f "$deb" Architecture)
echo "Architecture: $arch"
[ "$arch" = "$built" ] && [ "$arch" = "${cross:-$(dpkg --print-architecture)}" ] ||
    { echo "package $(basename "$deb") marked $arch holds a binary for $built"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q "libasound2" <<<"$depends" || { echo "no libasound2 dependency"; exit 1; }
# The cross builds make the instrument alone: the synth's is the native build's.
if [ -n "$cross" ]; then
    echo "1 passed, 0 failed"
    exit 0
fi

echo "-- hardening"
# Debian 12's build flags have no control flow protection to ask for.
hardening-check --nocfprotection "$work/root/usr/bin/sensormidi"

echo "-- synth package"
synth=$(ls "$debs"/sensormidi-synth_*.deb)
[ "$(dpkg-deb -f "$synth" Architecture)" = all ] || { echo "$synth is not for every architecture"; exit 1; }
has "$synth" ./etc/default/sensormidi-synth ./usr/lib/modprobe.d/sensormidi-synth.conf \
    ./lib/systemd/system/sensormidi-synth.service ./usr/share/doc/sensormidi-synth/copyright \
    ./usr/lib/udev/rules.d/70-sensormidi-synth.rules ./usr/lib/sensormidi-synth/pick \
    ./usr/lib/sensormidi-synth/start ./usr/lib/sensormidi-synth/started \
    ./usr/lib/sensormidi-synth/stop ./usr/lib/sensormidi-synth/follow
units "$synth" sensormidi-synth.service
dpkg-deb --ctrl-tarfile "$synth" | tar -xO ./conffiles | grep -qx /etc/default/sensormidi-synth ||
    { echo "the settings are no conffile"; exit 1; }
dpkg-deb -f "$synth" Depends Recommends
for dep in fluidsynth timgm6mb-soundfont kmod; do
    dpkg-deb -f "$synth" Depends | grep -qw "$dep" || { echo "no dependency on $dep"; exit 1; }
done
dpkg-deb -x "$synth" "$work/synth"
# What FluidSynth runs with: the unit's command line, with the shipped settings for its
# ${VAR}s. Its buffer, periods x frames / rate, under 5 ms; its font, TimGM6mb's.
sed -n '/^ExecStart=/,/[^\\]$/p' "$work/synth/lib/systemd/system/sensormidi-synth.service" |
    sed 's/^ExecStart=//; s/\\$//' | tr '\n' ' ' >"$work/command"
# shellcheck disable=SC1091
(. "$work/synth/etc/default/sensormidi-synth"
    eval "set -- $(cat "$work/command")"
    echo "runs: $*"
    while [ $# -gt 0 ]; do
        case $1 in
        -r) rate=$2 ;;
        -z) frames=$2 ;;
        -c) periods=$2 ;;
        -o) case $2 in synth.sample-rate=*) rate=${2#*=} ;; audio.period-size=*) frames=${2#*=} ;;
            audio.periods=*) periods=${2#*=} ;; esac ;;
        esac
        font=$1
        shift
    done
    us=$((periods * frames * 1000000 / rate))
    echo "output buffer: $periods x $frames frames at $rate Hz = $us us"
    [ "$us" -lt 5000 ] || { echo "the output buffer is 5 ms or more"; exit 1; }
    echo "sound font: $font"
    dpkg -S "$font" | grep -q '^timgm6mb-soundfont:' || { echo "the sound font is not TimGM6mb's"; exit 1; })

echo "-- reproducible"
# The same tree, from another directory at another time, in another time zone and
# with another umask: the same bytes.
(umask 0002 && TZ=Pacific/Kiritimati "$here/build-debs.sh" "$source" "$work/elsewhere/debs")
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
"$here/build-debs.sh" --version "$(dpkg-deb -f "$deb" Version)+1" "$source" "$debs/upgrade" -b -Pnocheck
ls "$debs"/upgrade/*.deb
echo "1 passed, 0 failed"

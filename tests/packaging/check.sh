#!/usr/bin/env bash
# Checks what gets installed: the units are accepted by systemd, the man page
# renders without warnings, the instrument's Debian package holds every file,
# is marked with the architecture its binary was built for and depends on
# alsa-lib, and the synth's is for every architecture, with its settings a
# conffile, its dependencies and a short output buffer.
# Usage: check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "-- systemd unit"
# verify needs the binary where ExecStart says: point it at the built one.
sed "s|^ExecStart=.*|ExecStart=$build/sensormidi|" "$build/sensormidi.service" >"$work/sensormidi.service"
out=$(systemd-analyze verify --man=no "$work/sensormidi.service" 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
grep -qx "ExecStart=/usr/bin/sensormidi" "$build/sensormidi.service"

echo "-- man page"
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$source/dist/sensormidi.1" 2>&1 >/dev/null)
[ -z "$out" ] || { echo "$out"; exit 1; }

echo "-- Debian package"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/sensormidi_*.deb)
# has PACKAGE FILE...: the package holds every file named.
has() {
    dpkg-deb -c "$1" | awk '{print $6}' >"$work/files"
    for f in "${@:2}"; do
        grep -qx "$f" "$work/files" || { echo "missing from $1: $f"; cat "$work/files"; exit 1; }
    done
}
# scripts PACKAGE NAME...: the package runs each maintainer script named.
scripts() {
    info=$(dpkg-deb -I "$1")
    for script in "${@:2}"; do
        grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script " <<<"$info" ||
            { echo "no executable $script in $1"; echo "$info"; exit 1; }
    done
}
has "$deb" ./usr/bin/sensormidi ./usr/share/man/man1/sensormidi.1 \
    ./usr/lib/systemd/system/sensormidi.service ./usr/lib/udev/rules.d/60-sensormidi.rules \
    ./usr/share/doc/sensormidi/examples/usb-midi-card1.conf
scripts "$deb" postinst prerm postrm
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
[ "$arch" = "$built" ] && [ "$(basename "$deb")" = "sensormidi_$(dpkg-deb -f "$deb" Version)_$arch.deb" ] ||
    { echo "package $(basename "$deb") marked $arch holds a binary for $built"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q "libasound2" <<<"$depends" || { echo "no libasound2 dependency"; exit 1; }

echo "-- synth package"
out=$(systemd-analyze verify --man=no "$source/dist/synth/sensormidi-synth.service" 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
synth=$(ls "$work"/sensormidi-synth_*.deb)
[ "$(basename "$synth")" = "sensormidi-synth_$(dpkg-deb -f "$synth" Version)_all.deb" ] ||
    { echo "$(basename "$synth") is not for every architecture"; exit 1; }
has "$synth" ./etc/default/sensormidi-synth ./usr/lib/modprobe.d/sensormidi-synth.conf \
    ./usr/lib/systemd/system/sensormidi-synth.service
scripts "$synth" preinst postinst prerm postrm
dpkg-deb --ctrl-tarfile "$synth" | tar -xO ./conffiles | grep -qx /etc/default/sensormidi-synth ||
    { echo "the settings are no conffile"; exit 1; }
dpkg-deb -f "$synth" Depends Recommends
for dep in fluidsynth timgm6mb-soundfont kmod; do
    dpkg-deb -f "$synth" Depends | grep -qw "$dep" || { echo "no dependency on $dep"; exit 1; }
done
# The shipped buffer: periods x frames / rate, under 5 ms.
# shellcheck disable=SC1090
(. "$source/dist/synth/default"
    us=$((PERIODS * PERIOD_SIZE * 1000000 / SAMPLE_RATE))
    echo "output buffer: $PERIODS x $PERIOD_SIZE frames at $SAMPLE_RATE Hz = $us us"
    [ "$us" -lt 5000 ] || { echo "the output buffer is 5 ms or more"; exit 1; })
echo "1 passed, 0 failed"

#!/usr/bin/env bash
# Checks what gets installed: the unit is accepted by systemd, the man page
# renders without warnings, and the Debian package holds every file, is
# marked with the architecture its binary was built for, and depends on
# alsa-lib.
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
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in ./usr/bin/sensormidi ./usr/share/man/man1/sensormidi.1 \
    ./usr/lib/systemd/system/sensormidi.service ./usr/lib/udev/rules.d/60-sensormidi.rules \
    ./usr/share/doc/sensormidi/examples/usb-midi-card1.conf; do
    grep -qx "$f" "$work/files" || { echo "missing from the package: $f"; cat "$work/files"; exit 1; }
done
info=$(dpkg-deb -I "$deb")
for script in postinst prerm postrm; do
    grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script " <<<"$info" ||
        { echo "no executable $script in the package"; echo "$info"; exit 1; }
done
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
echo "1 passed, 0 failed"

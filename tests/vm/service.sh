#!/usr/bin/env bash
# The package as a service in the virtual machine booted with systemd.
# Usage: service.sh BUILD_DIR install|boot
set -euo pipefail
build=$(realpath "$1") case=$2
here=$(dirname "$(realpath "$0")")
# The package as a user gets it, made where the guest can read it.
mkdir -p "$build/vm-deb"
rm -f "$build"/vm-deb/sensormidi_*.deb
(cd "$build/vm-deb" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$build"/vm-deb/sensormidi_*.deb)
python=/usr/bin/python3
case $case in
install) exec "$python" "$here/vm.py" --systemd "$build/vm-cache" "$python" "$here/service.py" "$deb" Installed ;;
boot) exec "$python" "$here/vm.py" --systemd --preinstall "$deb" "$build/vm-cache" "$python" "$here/service.py" "$deb" Boot ;;
esac

#!/usr/bin/env bash
# The package as a service in the virtual machine booted with systemd.
# Usage: service.sh BUILD_DIR install|boot|synth|synth-boot
set -euo pipefail
build=$(realpath "$1") case=$2
here=$(dirname "$(realpath "$0")")
# The package as a user gets it, made where the guest can read it.
mkdir -p "$build/vm-deb"
rm -f "$build"/vm-deb/sensormidi*.deb
(cd "$build/vm-deb" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$build"/vm-deb/sensormidi_*.deb)
synth=$(ls "$build"/vm-deb/sensormidi-synth_*.deb)
python=/usr/bin/python3
vm=("$python" "$here/vm.py" --systemd)
case $case in
install) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/service.py" "$deb" Installed ;;
boot) exec "${vm[@]}" --preinstall "$deb" "$build/vm-cache" "$python" "$here/service.py" "$deb" Boot ;;
synth) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Synth ;;
synth-boot) exec "${vm[@]}" --preinstall "$deb,$synth" --setup "$here/synth-settings.sh" "$build/vm-cache" \
    "$python" "$here/synth.py" "$deb" "$synth" Boot ;;
esac

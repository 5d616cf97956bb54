#!/usr/bin/env bash
# The package as a service in the virtual machine booted with systemd.
# Usage: service.sh BUILD_DIR install|boot|synth|synth-lifecycle|synth-missing|synth-boot|play|
#        synth-cards|instrument
set -euo pipefail
build=$(realpath "$1") case=$2
here=$(dirname "$(realpath "$0")")
# The packages as dpkg-buildpackage made them (the packaging test), and their newer
# version for the upgrade.
deb=$(ls "$build"/debs/sensormidi_*.deb)
synth=$(ls "$build"/debs/sensormidi-synth_*.deb)
python=/usr/bin/python3
vm=("$python" "$here/vm.py" --systemd)
case $case in
install) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/service.py" "$deb" Installed ;;
boot) exec "${vm[@]}" --preinstall "$deb" "$build/vm-cache" "$python" "$here/service.py" "$deb" Boot ;;
synth) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Synth ;;
play)
    # scripts/play on an already built tree: the guest only checks that it is built.
    (cd "$here/../.." && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null)
    exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Play ;;
synth-lifecycle) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Lifecycle ;;
synth-missing) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Missing ;;
synth-boot) exec "${vm[@]}" --preinstall "$deb,$synth" --setup "$here/synth-settings.sh" "$build/vm-cache" \
    "$python" "$here/synth.py" "$deb" "$synth" Boot ;;
synth-cards)
    # QEMU's sound cards record on the host; what they recorded is checked once the
    # machine is gone.
    sound=$build/vm-sound
    rm -rf "$sound" && mkdir -p "$sound"
    "${vm[@]}" --sound "$sound" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Cards ||
        exit $?
    exec "$python" "$here/recorded.py" "$sound" ;;
instrument)
    # The sensor board simulated on the host, played by the test's hand; what the DAC
    # recorded is checked once the machine is gone, against the machine's output.
    sound=$build/vm-instrument
    rm -rf "$sound" && mkdir -p "$sound"
    "${vm[@]}" --sound "$sound" --board "$SENSORMIDI_LIVE" "$build/vm-cache" "$python" \
        "$here/instrument.py" "$deb" "$synth" "$SENSORMIDI_FIRMWARE" "$SENSORMIDI_FIRMWARE_32U4" \
        "$SENSORMIDI_LISTENER" "${SENSORMIDI_HAND_PASSES:-1}" | tee "$sound/output" || exit $?
    exec "$python" "$here/heard.py" "$sound" "$sound/output" ;;
esac

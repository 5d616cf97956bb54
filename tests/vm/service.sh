#!/usr/bin/env bash
# The package as a service in the virtual machine booted with systemd.
# Usage: service.sh BUILD_DIR install|synth|synth-lifecycle|synth-cards|instrument|
#        soak [MINUTES [SEED]]
# (soak: MINUTES 0, each fault once, by default; SEED 1908 by default, so that the test plays
# the same schedule every time: one whose note sounded into the DAC's unplug)
set -euo pipefail
build=$(realpath "$1") case=$2 minutes=${3:-0} seed=${4:-1908}
here=$(dirname "$(realpath "$0")")
# The packages as dpkg-buildpackage made them (the packaging test), and their newer
# version for the upgrade.
debs=${SENSORMIDI_DEBS:-$build/debs}
deb=$(ls "$debs"/sensormidi_*.deb 2>/dev/null || true)
synth=$(ls "$debs"/sensormidi-synth_*.deb 2>/dev/null || true)
python=/usr/bin/python3
vm=("$python" "$here/vm.py" --systemd)
# The simulated sensor board's harness, which the firmware's tools build.
board() {
    [ -z "${SENSORMIDI_LIVE:-}" ] || return 0
    echo "no simulated sensor board: the firmware's tools are missing (gcc-avr, avr-libc," \
        "arduino-core-avr, arduino-mk, libsimavr-dev)"
    [ "${CI:-}" != true ] || { echo "FAILED: under CI=true this is a failure, not a skip"; exit 1; }
    exit 77
}

case $case in
install) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/service.py" "$deb" Installed ;;
synth) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Synth ;;
synth-lifecycle) exec "${vm[@]}" "$build/vm-cache" "$python" "$here/synth.py" "$deb" "$synth" Lifecycle ;;
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
    board
    sound=$build/vm-instrument
    rm -rf "$sound" && mkdir -p "$sound"
    "${vm[@]}" --sound "$sound" --board "$SENSORMIDI_LIVE" "$build/vm-cache" "$python" \
        "$here/instrument.py" "$deb" "$synth" "$SENSORMIDI_FIRMWARE" "$SENSORMIDI_FIRMWARE_32U4" \
        "$SENSORMIDI_LISTENER" "${SENSORMIDI_HAND_PASSES:-1}" | tee "$sound/output" || exit $?
    exec "$python" "$here/heard.py" "$sound" "$sound/output" ;;
soak)
    # The Leonardo played on through faults; what the recordings hold is counted once the
    # machine is gone. A DAC plug-in for each of its replugs, one a cycle of the faults; the
    # time limit raised for a long run.
    board
    sound=$build/vm-soak
    rm -rf "$sound" && mkdir -p "$sound"
    again="tests/vm/service.sh BUILD_DIR soak $minutes $seed"
    echo "soak: seed $seed ($again plays it again)"
    limit=$(( minutes * 60 + 1200 ))
    "${vm[@]}" --sound "$sound" --board "$SENSORMIDI_LIVE" --plug-ins $(( minutes / 2 + 2 )) \
        --limit $(( limit > 1440 ? limit : 1440 )) "$build/vm-cache" "$python" "$here/soak.py" \
        "$deb" "$synth" "$SENSORMIDI_FIRMWARE_32U4" "$SENSORMIDI_LISTENER" "$minutes" "$seed" |
        tee "$sound/output" || { status=$?; echo "soak: FAILED; to play it again: $again"; exit $status; }
    exec "$python" "$here/soak_heard.py" "$sound" "$sound/output" ;;
esac

#!/bin/busybox sh
# shellcheck shell=dash
# The synth's settings for the tests, as a user would make them in
# /etc/default/sensormidi-synth: the sound goes to the loopback card that the
# test records, and the buffer is one the emulated machine keeps up with
# (1024 frames, 4 periods: 85 ms; the shipped 4 ms underruns under emulation).
# The loopback card's module is loaded at boot.
# Usage: synth-settings.sh ROOT [PERIOD_SIZE PERIODS [AUDIO_DEVICE]] (the initramfs runs it
# on the new root before the boot; a test or the benchmark on /, the benchmark with its
# own buffer, the sound card test with the output picked: "auto").
B=/bin/busybox
root=$1 size=${2:-1024} periods=${3:-4} device=${4:-plughw:Loopback}
for key in AUDIO_DEVICE PERIOD_SIZE PERIODS; do
    $B grep -q "^$key=" "$root/etc/default/sensormidi-synth" ||
        { echo "synth-settings.sh: no $key= in the settings"; exit 1; }
done
$B sed -i -e "s|^AUDIO_DEVICE=.*|AUDIO_DEVICE=$device|" \
    -e "s/^PERIOD_SIZE=.*/PERIOD_SIZE=$size/" -e "s/^PERIODS=.*/PERIODS=$periods/" \
    "$root/etc/default/sensormidi-synth"
$B mkdir -p "$root/etc/modules-load.d"
echo snd_aloop >"$root/etc/modules-load.d/sensormidi-test.conf"

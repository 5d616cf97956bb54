"""The synth's output pick (sensormidi-synth --pick) on the cards of each kind of box, as
/proc/asound and /sys/class/drm show them there.

Usage: test_pick.py SYNTH [unittest arguments]
SENSORMIDI_EMULATOR, when set, runs SYNTH (a cross build's) through qemu-user.
"""

import os
import shlex
import subprocess
import sys
import tempfile
import unittest

PICK = None

# Cards as they list themselves: (id, driver, short name, [(device, PCM name[, direction])]);
# a PCM plays unless its direction says "capture".
HEADPHONES = ("Headphones", "bcm2835_headpho", "bcm2835 Headphones", [(0, "bcm2835 Headphones")])
VIRMIDI = ("VirMIDI", "VirMIDI", "Virtual MIDI Card 1", [])
USB_DAC = ("Device", "USB-Audio", "USB Audio Device", [(0, "USB Audio")])
HIFIBERRY = ("sndrpihifiberry", "HifiberryDacp", "snd_rpi_hifiberry_dacplus",
             [(0, "HiFiBerry DAC+ HiFi pcm512x-hifi-0")])
PCH = ("PCH", "HDA-Intel", "HDA Intel PCH",
       [(0, "ALC887 Analog"), (1, "ALC887 Digital"), (3, "HDMI 0"), (7, "HDMI 1")])
# A webcam's microphone: a USB audio device that only records.
WEBCAM = ("Camera", "USB-Audio", "HD Webcam C270", [(0, "USB Audio", "capture")])
# A laptop codec whose first analog PCM records only, and whose first playback is digital.
LAPTOP = ("Generic", "HDA-Intel", "HD-Audio Generic",
          [(0, "ALC1220 Analog", "capture"), (1, "ALC1220 Digital"), (2, "ALC1220 Alt Analog")])


def hdmi(n=""):
    return (f"vc4hdmi{n}", "vc4-hdmi", f"vc4-hdmi-{n or 0}", [(0, "MAI PCM i2s-hifi-0")])


def box(*cards):
    return list(enumerate(cards))


PI4 = box(HEADPHONES, VIRMIDI, hdmi(0), hdmi(1))
PI4_HDMI_FIRST = box(hdmi(0), VIRMIDI, hdmi(1), HEADPHONES)
PI5 = box(hdmi(0), VIRMIDI, hdmi(1))
# Each box, the HDMI-A connectors with a display, and the device picked (None: nothing).
BOXES = {
    "Pi 3, jack first": (box(HEADPHONES, VIRMIDI, hdmi()), {1}, "plughw:CARD=Headphones,DEV=0"),
    "Pi 3, HDMI first": (box(hdmi(), VIRMIDI, HEADPHONES), {1}, "plughw:CARD=Headphones,DEV=0"),
    "Pi 4, jack first": (PI4, {1}, "plughw:CARD=Headphones,DEV=0"),
    "Pi 4, HDMI first": (PI4_HDMI_FIRST, {1, 2}, "plughw:CARD=Headphones,DEV=0"),
    "Pi 4, USB DAC": (PI4 + [(4, USB_DAC)], {1}, "plughw:CARD=Device,DEV=0"),
    "Pi 4, two USB DACs": (PI4 + [(4, USB_DAC), (5, ("Device_1",) + USB_DAC[1:])], {1},
                           "plughw:CARD=Device,DEV=0"),
    "Pi 4, DAC board": (PI4 + [(4, HIFIBERRY)], {1}, "plughw:CARD=sndrpihifiberry,DEV=0"),
    "Pi 4, USB MIDI synth on card 1": (
        box(HEADPHONES, ("Synth", "USB-Audio", "USB MIDI Synth", []), hdmi(0)), set(),
        "plughw:CARD=Headphones,DEV=0"),
    "Pi 4, Debian's kernel": (
        box(hdmi(0), hdmi(1), ("ALSA", "bcm2835_alsa", "bcm2835 ALSA", [(0, "bcm2835 ALSA")])),
        {1}, "plughw:CARD=ALSA,DEV=0"),
    "Pi 5, display on the first HDMI": (PI5, {1}, "hdmi:CARD=vc4hdmi0"),
    "Pi 5, display on the second HDMI": (PI5, {2}, "hdmi:CARD=vc4hdmi1"),
    "Pi 5, no display, no DAC": (PI5, set(), None),
    "Pi 5, USB DAC": (PI5 + [(3, USB_DAC)], {1}, "plughw:CARD=Device,DEV=0"),
    "PC": (box(PCH, VIRMIDI), {1}, "plughw:CARD=PCH,DEV=0"),
    "PC, HDMI card first": (
        box(("NVidia", "HDA-Intel", "HDA NVidia", [(3, "HDMI 0"), (7, "HDMI 1")]), VIRMIDI,
            ("Generic", "HDA-Intel", "HD-Audio Generic", [(0, "ALC257 Analog")])), {1},
        "plughw:CARD=Generic,DEV=0"),
    "PC, USB DAC": (box(PCH, VIRMIDI, USB_DAC), set(), "plughw:CARD=Device,DEV=0"),
    "PC, a webcam before the USB DAC": (box(PCH, VIRMIDI, WEBCAM, USB_DAC), set(),
                                        "plughw:CARD=Device,DEV=0"),
    "PC, a webcam alone": (box(PCH, VIRMIDI, WEBCAM), set(), "plughw:CARD=PCH,DEV=0"),
    "laptop, analog output not its first": (box(LAPTOP, VIRMIDI), set(),
                                            "plughw:CARD=Generic,DEV=2"),
    "virtual cards only": (
        box(("vc4hdmi0", "Dummy", "Dummy 1", [(0, "Dummy PCM")]), VIRMIDI,
            ("Loopback", "Loopback", "Loopback 1", [(0, "Loopback PCM"), (1, "Loopback PCM")])),
        {1}, None),
    "no card at all": ([], set(), None),
}


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def picked(cards, displays):
    """What pick prints for these cards and displays; None when it finds nothing."""
    with tempfile.TemporaryDirectory() as root:
        listed = "".join(f"{n:2} [{id:15}]: {driver} - {short}\n{'':22}{short}\n"
                         for n, (id, driver, short, _) in cards) or "--- no soundcards ---\n"
        write(f"{root}/asound/cards", listed)
        write(f"{root}/asound/pcm", "".join(
            f"{n:02}-{d:02}: {name} : {name} : {(rest or ['playback'])[0]} 1\n"
            for n, (_, _, _, pcms) in cards for d, name, *rest in pcms))
        for connector in (1, 2):
            status = "connected" if connector in displays else "disconnected"
            write(f"{root}/drm/card1-HDMI-A-{connector}/status", status + "\n")
        result = subprocess.run(PICK + ["--pick", f"{root}/asound", f"{root}/drm"],
                                capture_output=True, text=True, timeout=30)
    if result.returncode == 0:
        return result.stdout.strip()
    # Nothing fits: it names each card, for the line that says so.
    assert result.returncode == 1 and result.stdout == "", result
    found = ", ".join(f"{n} {id} ({driver})" for n, (id, driver, _, _) in cards) or "none"
    assert result.stderr == f"cards found: {found}\n", result.stderr
    return None


class Pick(unittest.TestCase):
    def test_boxes(self):
        for name, (cards, displays, expected) in BOXES.items():
            with self.subTest(name):
                self.assertEqual(picked(cards, displays), expected)


if __name__ == "__main__":
    PICK = shlex.split(os.environ.get("SENSORMIDI_EMULATOR", "")) + [os.path.abspath(sys.argv[1])]
    unittest.main(argv=sys.argv[:1] + sys.argv[2:])

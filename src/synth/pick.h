// Picks the synth's sound output from the cards present, in this order:
//   1. a USB audio device, or a Raspberry Pi DAC board (I2S, snd_rpi_*);
//   2. the on-board analog output: a Pi's headphone jack, a PC's analog codec;
//   3. a Pi's HDMI, where a display is connected (it plays nothing without one).
// Within each, the lowest card number. Cards are known by their driver and PCM
// names: a card this does not know, and the virtual ones, are never picked. The
// device names the card by its id, which stays the same from boot to boot where
// its number may not.
#pragma once

#include <set>
#include <string>

struct Pick {
    std::string device; // "" when nothing fits
    std::string found;  // the cards seen, "0 PCH (HDA-Intel), 1 VirMIDI (VirMIDI)", or "none"
};

// From the text of /proc/asound/cards and /proc/asound/pcm, and the numbers of the
// HDMI-A connectors with a display (vc4hdmi0 is HDMI-A-1).
Pick pickoutput(const std::string &cards, const std::string &pcm, const std::set<int> &displays);

// The same, read from ASOUND_DIR (/proc/asound) and DRM_DIR (/sys/class/drm).
Pick pickfrom(const std::string &asound, const std::string &drm);

// Whether a udev event (its subsystem, action and device name) may change the pick or
// what can be opened: a sound card's change or removal, a display's change.
bool repicks(const std::string &subsystem, const std::string &action, const std::string &name);

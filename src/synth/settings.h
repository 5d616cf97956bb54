// The synth's settings, from the environment that the unit's EnvironmentFile= gives
// (or scripts/play exports): the names and meanings of /etc/default/sensormidi-synth.
#pragma once

#include "synth/climb.h"

#include <string>

struct Settings {
    std::string device = "auto"; // AUDIO_DEVICE: "auto" picks the output, else an ALSA PCM
    std::string font = "/usr/share/sounds/sf2/TimGM6mb.sf2"; // SOUND_FONT
    double gain = 0.6;                                       // GAIN
    int rate = 48000;                                        // SAMPLE_RATE, frames a second
    bool autoperiod = true;  // PERIOD_SIZE=auto: the shortest period this box holds
    int period = AUTO_FIRST; // PERIOD_SIZE in frames, or where auto is now
    int periods = 3;         // PERIODS
};

// Fills `settings` from `get` (getenv, or a test's table); an unset name keeps the
// shipped value. "" when all is well, else the line that names the bad setting.
std::string readsettings(const char *(*get)(const char *), Settings &settings);

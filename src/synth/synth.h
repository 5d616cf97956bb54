// The one FluidSynth synthesizer: its settings, its font, what it plays. Its render
// calls belong to the output thread; the others take FluidSynth's own lock.
#pragma once

#include "synth/events.h"
#include "synth/settings.h"

#include <cstdint>
#include <string>

// "" when the synth and its font are ready, else the line that says why not.
std::string synth_open(const Settings &settings);
void synth_apply(const Event &event);
void synth_sysex(const unsigned char *data, int length);
// Interleaved stereo, 16-bit.
void synth_render(int16_t *frames, int count);
// Every sounding note released, as when a device is left.
void synth_notesoff();
// The channel's program as the synth has it now.
int synth_program(int channel);
// The voices sounding now, release tails included.
int synth_voices();

#include "synth/synth.h"

#include "synth/fluid.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int POLYPHONY = 12;
fluid_synth_t *synth;

// FluidSynth's own errors reach the journal; its warnings and notes would only
// repeat what the synth says itself.
void quiet(int, const char *, void *) {}
void error(int, const char *message, void *) {
    std::fprintf(stderr, "sensormidi-synth: FluidSynth: %s\n", message);
}

} // namespace

std::string synth_open(const Settings &settings) {
    char head[12] = {};
    FILE *f = std::fopen(settings.font.c_str(), "rb");
    if (!f) return "sensormidi-synth: SOUND_FONT=" + settings.font + ": " + std::strerror(errno);
    size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    // A SoundFont (.sf2, .sf3) is a RIFF file of the form "sfbk": anything else would only
    // bring the libraries' own complaints.
    if (got != sizeof head || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "sfbk", 4) != 0)
        return "sensormidi-synth: SOUND_FONT=" + settings.font + ": not a SoundFont (.sf2 or .sf3)";
    for (int level : {FLUIDLOG_WARN, FLUIDLOG_INFO, FLUIDLOG_DBG})
        fluid_set_log_function(level, quiet, nullptr);
    for (int level : {FLUIDLOG_PANIC, FLUIDLOG_ERR})
        fluid_set_log_function(level, error, nullptr);
    fluid_settings_t *fs = new_fluid_settings();
    fluid_settings_setnum(fs, "synth.sample-rate", settings.rate);
    fluid_settings_setnum(fs, "synth.gain", settings.gain);
    // The instrument plays one note at a time. A note takes up to 4 voices in a layered
    // General MIDI font (2 at most in TimGM6mb); 12 hold it and the release tails of the two
    // before, and the oldest tail gives way to a new note. FluidSynth's 256 would let a
    // fast hand's tails (up to 5 s, program 101's) pile up on a Pi's CPU.
    fluid_settings_setint(fs, "synth.polyphony", POLYPHONY);
    // Reverb gives the piano its room for a sixth more CPU; chorus costs a twentieth more
    // and adds little to one note at a time: off (docs/performance.md).
    fluid_settings_setint(fs, "synth.chorus.active", 0);
    synth = new_fluid_synth(fs);
    if (!synth) return "sensormidi-synth: FluidSynth could not start";
    if (fluid_synth_sfload(synth, settings.font.c_str(), 1) == FLUIDFAILED)
        return "sensormidi-synth: SOUND_FONT=" + settings.font +
               ": not a sound font FluidSynth can load";
    return "";
}

void synth_apply(const Event &e) {
    switch (e.kind) {
    case NOTE_ON:
        fluid_synth_noteon(synth, e.channel, e.key, e.value);
        break;
    case NOTE_OFF:
        fluid_synth_noteoff(synth, e.channel, e.key);
        break;
    case KEY_PRESSURE:
        fluid_synth_key_pressure(synth, e.channel, e.key, e.value);
        break;
    case CONTROL_CHANGE:
        fluid_synth_cc(synth, e.channel, e.key, e.value);
        break;
    case PROGRAM_CHANGE:
        fluid_synth_program_change(synth, e.channel, e.key);
        break;
    case CHANNEL_PRESSURE:
        fluid_synth_channel_pressure(synth, e.channel, e.value);
        break;
    case PITCH_BEND:
        fluid_synth_pitch_bend(synth, e.channel, e.value);
        break;
    }
}

void synth_sysex(const unsigned char *data, int length) {
    // FluidSynth takes the message without its F0 and F7.
    if (length >= 2 && data[0] == 0xF0 && data[length - 1] == 0xF7)
        fluid_synth_sysex(synth, reinterpret_cast<const char *>(data) + 1, length - 2, nullptr,
                          nullptr, nullptr, 0);
}

void synth_render(int16_t *frames, int count) {
    fluid_synth_write_s16(synth, count, frames, 0, 2, frames, 1, 2);
}

void synth_notesoff() {
    fluid_synth_all_notes_off(synth, -1);
}

int synth_program(int channel) {
    int font, bank, preset;
    if (fluid_synth_get_program(synth, channel, &font, &bank, &preset) != FLUIDOK) return -1;
    return preset;
}

int synth_voices() {
    return fluid_synth_get_active_voice_count(synth);
}

// MIDI events on their way from the sequencer (the input thread) to the synth (the
// output thread), which applies them between its 64-frame blocks.
#pragma once

#include "midi/message.h"

#include <alsa/asoundlib.h>

#include <atomic>

// The channel messages the synth plays, by their status byte's command nibble.
enum : unsigned char {
    KEY_PRESSURE = 0xA0,
    CONTROL_CHANGE = 0xB0,
    CHANNEL_PRESSURE = 0xD0,
    PITCH_BEND = 0xE0,
};

struct Event {
    unsigned char kind;    // NOTE_ON, ... as above
    unsigned char channel; // 0 to 15
    unsigned char key;     // note, controller or program
    int value;             // velocity, controller value, pressure, bend (0 to 16383)
    long long arrival;     // when it was read, CLOCK_MONOTONIC nanoseconds
};

// The sequencer's event, read at ARRIVAL, as one to apply; false for what the synth does
// not play (clock, song position, system exclusive: that goes to FluidSynth at once).
bool fromseq(const snd_seq_event_t &seq, long long arrival, Event &event);

// Times the sequencer's input overran (events lost before they were read), and events
// that found the queue full: a flood is counted, not played late.
extern std::atomic<long> overruns, dropped;

// From the input thread to the output thread; a full queue drops the event.
bool queueevent(const Event &event);
bool takeevent(Event &event);

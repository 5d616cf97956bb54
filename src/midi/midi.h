// MIDI output: the raw MIDI port, the note messages and the instrument cycle.
#pragma once

#include <alsa/asoundlib.h>

extern snd_rawmidi_t *midiOutHandle;
extern int err;
extern int toneptr;

void midi_init();
void midi_retry();
// The handle is the caller's `midiOutHandle`; each write goes to the output
// open when it is made, which a lost output reopened at once may have changed.
void playtone(snd_rawmidi_t *handle, int note, int velocity);
void noteoff();
void changetone(snd_rawmidi_t *handle);

// Milliseconds on a clock that never jumps; kept apart so tests can set the time.
long long nowms();

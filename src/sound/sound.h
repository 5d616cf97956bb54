// Sound control: one sensor reading in, at most one sound action out.
#pragma once

extern int current;
extern int curvol;
extern int curmess;

void process_sound(int pitch, int volume, int sw);

int velocity(int volume);
int note(int pitch);
// The readings that play the same as `reading`: the first and last of its band (INT_MIN or
// INT_MAX where the band is open).
void noteband(int pitch, int &first, int &last);
void velocityband(int volume, int &first, int &last);
// The readings that reach the lowest and the highest note, silence and the loudest velocity.
extern const int LOWEST_NOTE_BELOW, HIGHEST_NOTE_FROM, SILENCE_MAX, LOUDEST_FROM;

// Waits a second: after an instrument change, and between looks for a missing
// sensor. Kept apart so tests need not wait.
void onesecond();

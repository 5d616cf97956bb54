// Sound control: one sensor reading in, at most one sound action out.
#pragma once

extern int current;
extern int curvol;
extern int curmess;

void process_sound(int pitch, int volume, int sw);

int velocity(int volume);
int note(int pitch);

// Waits a second: after an instrument change, and between looks for a missing
// sensor. Kept apart so tests need not wait.
void onesecond();

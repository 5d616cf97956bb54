// The channels' programs, kept in the runtime directory so that a restarted synth (a
// crash, the watchdog, an upgrade) plays the instrument the player last chose: the
// instrument sends a program only when its switch is pressed.
//
// The file, "programs", holds a line "CHANNEL PROGRAM" (1 to 16, 0 to 127) for each
// channel whose program was changed. It is replaced whole, never written in place.
#pragma once

#include <string>

constexpr int CHANNELS = 16;

// -1 where a channel's program was never changed.
extern int programs[CHANNELS];

std::string formatprograms(const int (&kept)[CHANNELS]);
// Lines that are not a channel and a program are passed over.
void parseprograms(const std::string &text, int (&kept)[CHANNELS]);

// In DIR: read at start, and written when a program changes.
void loadprograms(const std::string &dir);
void saveprograms(const std::string &dir);

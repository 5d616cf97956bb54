// What the synth keeps in its runtime directory (/run/sensormidi-synth for the unit), so
// that a restart (a crash, the watchdog, an upgrade) goes on where it was; a reboot
// empties it. Each file is replaced whole, never written in place:
//   programs  a line "CHANNEL PROGRAM" (1 to 16, 0 to 127) for each channel whose program
//             the player changed: the instrument sends one only when its switch is pressed;
//   period    where PERIOD_SIZE=auto has come to: its period in frames, and the quiet
//             stretch in milliseconds it waits before trying lower (climb.h);
//   notes     the last 256 notes' latency (see latency.h).
#pragma once

#include <string>

constexpr int CHANNELS = 16;

// -1 where a channel's program was never changed.
extern int programs[CHANNELS];

std::string formatprograms(const int (&kept)[CHANNELS]);
// Lines that are not a channel and a program are passed over.
void parseprograms(const std::string &text, int (&kept)[CHANNELS]);

// The file's text, "" when there is none (or no directory).
std::string loadstate(const std::string &dir, const char *name);
// Written beside and renamed over: a crash mid-write leaves the old file whole.
void savestate(const std::string &dir, const char *name, const std::string &text);

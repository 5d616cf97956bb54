// PERIOD_SIZE=auto: the shortest period this box holds, found by playing. It starts at
// 64 frames (or the card's smallest, if larger) and doubles, up to 2048, when 3 underruns
// come within 60 s, not counting the first 5 s after an open, while the card settles. It
// never shrinks on its own: a box that could not keep up will not, later, for long. A
// stream that stalls counts as an underrun, and its reopen does not start the grace anew.
#pragma once

#include <string>

constexpr int AUTO_FIRST = 64, AUTO_LAST = 2048;
constexpr int CLIMB_UNDERRUNS = 3;
constexpr long long CLIMB_WINDOW_MS = 60000, CLIMB_GRACE_MS = 5000;

// The output was opened at `now` (milliseconds): underruns before that are forgotten.
void climbopened(long long now);
// An underrun at `now`: true when the period is to double.
bool climbunderrun(long long now);
// Where auto starts: the period kept in the runtime directory by a climb before a restart
// (its file's text), else the smallest.
int climbstart(const std::string &kept);

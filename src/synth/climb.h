// PERIOD_SIZE=auto: the shortest period this box holds, found by playing. It starts at
// 64 frames (or the card's smallest, if larger) and doubles, up to 2048, when 3 underruns
// come within 60 s, not counting the first 5 s after an open, while the card settles. A
// stream that stalls counts as an underrun, and its reopen does not start the grace anew.
// It comes back down: after a quiet stretch without underruns at a period (10 minutes at
// first) it tries the period below, at a moment when no voice sounds. Where the lower
// period underruns again within the stretch, it climbs back and waits twice as long before
// the next try (up to a day), so that a box that cannot hold it settles and stops trying,
// and a burst of load (an apt timer, an SD card's stall) does not raise the latency for good.
#pragma once

#include <string>

constexpr int AUTO_FIRST = 64, AUTO_LAST = 2048;
constexpr int CLIMB_UNDERRUNS = 3;
constexpr long long CLIMB_WINDOW_MS = 60000, CLIMB_GRACE_MS = 5000;
constexpr long long STRETCH_FIRST_MS = 10 * 60000LL, STRETCH_LAST_MS = 24 * 3600000LL;

// The period auto plays at, in frames; and the quiet stretch it waits before trying lower.
extern int climbperiod;
extern long long climbstretch;

// Where auto starts at `now` (milliseconds): as kept in the runtime directory before a
// restart (the text of climbkept()), else at the smallest, with the first stretch.
void climbstart(const std::string &kept, long long now);
// The state to keep for a restart: "PERIOD STRETCH_MS\n".
std::string climbkept();
// The output was opened at `now`: underruns before that, and in its grace, are forgotten.
void climbopened(long long now);
// An underrun at `now`, at `granted` frames (what the card gave): true when the period
// doubled.
bool climbunderrun(long long now, int granted);
// At `now`, while no voice sounds: true when the period halved, to be tried.
bool climbdescend(long long now);

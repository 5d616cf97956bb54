// Test stand-ins for the synth's card, FluidSynth, systemd and the clock. Every call
// is recorded in order as a short line such as "write 64" or "notify WATCHDOG=1".
#pragma once

#include <deque>
#include <string>
#include <vector>

extern std::vector<std::string> synthcalls;
// Results for the next calls, used up in order; when empty, the card below answers.
extern std::deque<long> opens, waits, avails, writes, prepares, resumes;
extern long long synthms; // the clock; each wait moves it on by what it waited
// The card: a buffer whose pointer plays 48 frames a millisecond of the clock, once a
// period is in, until it runs dry (an underrun); `still`: it takes frames and never plays
// them. Its frames still to play, what a status gives as its delay unless `statusdelay`
// is 0 or more; a stamp of 0 where `unstamped`.
extern long long queued;
extern bool still, unstamped;
extern long statusdelay;
extern int voices;      // FluidSynth's voices sounding
extern bool inputhangs; // the input thread stops marking its wake-ups

// A named device just opened, nothing written yet, nothing recorded.
void synthstart();

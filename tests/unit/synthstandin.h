// Test stand-ins for the synth's card, FluidSynth, systemd and the clock. Every call
// is recorded in order as a short line such as "write 64" or "notify WATCHDOG=1".
#pragma once

#include <deque>
#include <string>
#include <vector>

extern std::vector<std::string> synthcalls;
// Results for the next calls, used up in order; when empty: the open and the rest
// succeed, a wait finds room, the card has room for one block and takes what is written.
extern std::deque<long> opens, waits, avails, writes, prepares, resumes;
extern long long synthms; // the clock; each wait moves it on by what it waited
extern long statusdelay;  // the frames still to play that the next status gives, at the
                          // clock's time; a stamp of 0 where `unstamped`
extern bool unstamped;

// A named device open and playing, nothing recorded yet.
void synthstart();

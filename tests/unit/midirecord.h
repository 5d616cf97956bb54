// Test stand-ins for alsa-lib's raw MIDI calls, the clock and the pause.
// Every call is recorded in order as a short line such as "write 90 43 3c".
#pragma once

#include <string>
#include <vector>

extern std::vector<std::string> calls;
extern int openresult;             // what the next snd_rawmidi_open returns
extern std::vector<long> failures; // results for the next writes and drains, used up in order
extern long long fakems;           // the clock; a pause moves it on by a second
extern int quietset;               // times snd_lib_error_set_handler was called
extern bool tellcalls;             // also print each call on stderr, for a child that dies

// Sound and MIDI state as at start, with an open output and an empty record.
void freshstart();

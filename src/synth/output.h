// The output thread: renders the synth 64 frames at a time, with the queued MIDI
// events applied between blocks, and writes them to the sound card. It owns the card:
// it opens the output that AUDIO_DEVICE names or auto picks, waits while there is
// none, follows auto's pick in place when cards come and go, and recovers from
// every error the card gives. It alone tells systemd that sound is flowing: while the
// card's pointer moves, and the input thread wakes.
#pragma once

#include "synth/latency.h"
#include "synth/settings.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

// What to do about an error from the card.
enum class Action {
    again,   // no room yet: wait for it
    recover, // an underrun: prepare the stream and go on
    resume,  // suspended: resume, or prepare
    reopen,  // gone or broken: close it and look for an output again
};
Action onerror(int err);

extern Settings settings;
extern std::atomic<bool> stopping;
// Set, under `cardlock`, when cards or displays changed; `cardwake` wakes the thread.
extern std::mutex cardlock;
extern std::condition_variable cardwake;
extern bool cardschanged;
// Where auto looks: /proc/asound and /sys/class/drm.
extern std::string asounddir, drmdir;
// Counted since start; badfigures: notes timed before they came (a clock's fault).
extern long underruns, reopens, badfigures;
// The device open now, "" while it waits for one.
extern std::string playing;
// Where the period PERIOD_SIZE=auto plays at came from: "the smallest", "kept from before a
// restart", "climbed after underruns".
extern std::string periodfrom;
// The runtime directory, where a climbed period is kept ("": nowhere).
extern std::string statedir;
// The last minute's median latency, for the status (below 0: none yet). The input thread
// sets it.
extern std::atomic<double> minutemedian;
// When the input thread last woke (nowms()): it does at least once a second.
extern std::atomic<long long> inputwoke;

// The notes timed, from the output thread to the input thread, which reports them.
bool taketimed(Timed &timed);
// The output's buffer as the start line says it: "3 x 64 frames at 48000 Hz = 4.0 ms".
std::string outputbuffer();

// One round: opens an output or waits for one, follows a changed pick, or writes what
// the card has room for.
void outputstep();
// Rounds until `stopping`; then the notes end, their release plays out, the buffer
// drains, each for a bounded time, and the stream is closed.
void outputloop();

// Milliseconds on a clock that never jumps.
long long nowms();
// Sleeps up to MS, woken early by a stop or, with `cards`, by cards that changed: true when
// woken (cards.cpp: the tests' stand-in moves their clock on instead).
bool cardsleep(long long ms, bool cards);

// Each Note On's latency, from its arrival (CLOCK_MONOTONIC when the input thread read it
// from the sequencer) to the moment the card plays the first frame rendered after it was
// applied (CLOCK_MONOTONIC too, from the card's own timestamp and delay at one moment).
#pragma once

#include <deque>
#include <string>
#include <vector>

// One note measured. `underrun`: an underrun came between its arrival and its frame's
// play, which therefore is not where the figure says: left out of the figures.
struct Timed {
    long long arrival; // CLOCK_MONOTONIC, nanoseconds
    int note;
    double ms; // arrival to the card's output
    bool underrun;
};

// When frame FRAME (counted from the stream's start) is played, on the clock of STAMP:
// at STAMP the card had DELAY frames to play before the next frame written, which is
// frame WRITTEN; at RATE frames a second. Nanoseconds.
long long playedat(long long stamp, long delay, long long written, long long frame, int rate);

// The median, 90th percentile and worst of the notes not flagged, and how many they are.
struct Figures {
    int count = 0;
    double median = 0, p90 = 0, worst = 0;
};
Figures figures(const std::vector<Timed> &notes);

// The ring's file: a line "ARRIVAL NOTE MS UNDERRUN" for each note, oldest first
// (seconds on CLOCK_MONOTONIC, the note number, milliseconds, 1 when flagged).
std::string formatnotes(const std::deque<Timed> &notes);

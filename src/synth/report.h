// What the synth says of its notes' latency, on the input thread: once a minute while
// notes are played, one line (how many, MIDI to output as median, 90th percentile and
// worst, and the buffer), and its median for the status; and the last 256 notes in the
// runtime directory's "notes". Nothing per note: a journal that plays for weeks must not
// grow with the notes.
#pragma once

#include <string>

// Takes the notes timed since, at NOW (milliseconds); writes the ring to DIR ("": none).
void report(long long now, const std::string &dir);

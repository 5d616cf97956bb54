// The sound output: one ALSA playback stream, behind a few thin calls (pcm.cpp; the
// tests put a stand-in in its place). Each returns 0 or more, or a negative errno.
#pragma once

#include <cstdint>
#include <string>

// What the card granted, as the start line says it.
struct Granted {
    int card = -1; // -1: no card behind the device (a sound server's plugin)
    std::string id, name;
    // The stream as the card runs it (a plughw device converts from the synth's rate): its
    // rate, its period and buffer in frames, and the periods the buffer holds.
    int rate = 0, period = 0, periods = 0;
    long size = 0;
    // The stream as the synth writes it: its period and buffer, in frames.
    long frames = 0, buffer = 0;
};

// Opens DEVICE non-blocking, 16-bit stereo at RATE (a device that cannot play at that
// rate is refused: plughw converts), asking for PERIODS periods of PERIOD frames; fills
// `granted`.
int pcm_open(const std::string &device, int rate, int period, int periods, Granted &granted);
// Waits up to MS for room to write: 1 when there is, 0 when the time ran out.
int pcm_wait(int ms);
// Frames that can be written now.
long pcm_avail();
// Writes interleaved frames; the number taken.
long pcm_write(const int16_t *frames, long count);
// One moment of the stream: when it was (CLOCK_MONOTONIC nanoseconds, 0 where the device
// gives no timestamps, as a sound server's plugin), the frames then still to play before
// the next one written, and whether it was running (else the delay tells nothing).
int pcm_status(long long &stamp, long &delay, bool &running);
// After an underrun: the stream prepared to start again.
int pcm_prepare();
// After a suspend: the stream resumed where it stopped.
int pcm_resume();
// What was written played out, for up to MS: the stream is closed after.
void pcm_drain(int ms);
void pcm_close();
// alsa-lib's text for an error.
const char *pcm_error(int err);

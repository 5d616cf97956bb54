#include "synthstandin.h"

#include "synth/notify.h"
#include "synth/output.h"
#include "synth/pcm.h"
#include "synth/synth.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

std::vector<std::string> synthcalls;
std::deque<long> opens, waits, avails, writes, prepares, resumes;
long long synthms;
long long queued;
bool still, unstamped, inputhangs;
long statusdelay;
int voices;

namespace {

constexpr long FRAMES_PER_MS = 48;
long buffer, period;
bool running, xrun;
long long at; // the clock's time the pointer was last moved to

long next(std::deque<long> &results, long ok) {
    if (results.empty()) return ok;
    long result = results.front();
    results.pop_front();
    return result;
}

// The pointer, moved on to the clock's time.
void play() {
    if (running && !still) {
        long long gone = (synthms - at) * FRAMES_PER_MS;
        queued = std::max(0LL, queued - gone);
        if (queued == 0) running = false, xrun = true;
    }
    at = synthms;
}

void stop() {
    queued = 0;
    running = xrun = false;
    at = synthms;
}

} // namespace

void synthstart() {
    for (auto *results : {&opens, &waits, &avails, &writes, &prepares, &resumes})
        results->clear();
    settings = Settings();
    settings.device = "hw:9";
    climbstart("", synthms);
    stopping = false;
    cardschanged = false;
    underruns = reopens = 0;
    statusdelay = -1;
    still = unstamped = inputhangs = false;
    voices = 0;
    for (Event e; takeevent(e);) {
    }
    if (!playing.empty()) pcm_close();
    playing.clear();
    synthms += 100000;
    // Sound flowing long enough that what came before is forgotten: its back-off, its reopens.
    testing::internal::CaptureStdout();
    for (long long until = synthms + 10001; synthms < until;)
        outputstep();
    pcm_close();
    playing.clear();
    climbstart("", synthms);
    outputstep();
    testing::internal::GetCapturedStdout();
    synthcalls.clear();
}

int pcm_open(const std::string &device, int, int frames, int periods, Granted &granted) {
    synthcalls.push_back("open " + device);
    granted = Granted();
    granted.rate = 48000, granted.period = frames, granted.periods = periods;
    granted.frames = frames, granted.buffer = granted.size = static_cast<long>(frames) * periods;
    buffer = granted.buffer, period = frames;
    stop();
    return static_cast<int>(next(opens, 0));
}

int pcm_wait(int ms) {
    synthcalls.push_back("wait");
    play();
    if (!waits.empty()) {
        long result = next(waits, 1);
        if (result == 0) synthms += ms;
        return static_cast<int>(result);
    }
    if (xrun) return -EPIPE;
    if (buffer - queued >= period) return 1;
    // Until a period has played, or the time runs out.
    long long needed = (period - (buffer - queued) + FRAMES_PER_MS - 1) / FRAMES_PER_MS;
    synthms += running && !still ? std::min<long long>(needed, ms) : ms;
    play();
    return buffer - queued >= period && !xrun ? 1 : 0;
}

long pcm_avail() {
    play();
    if (!avails.empty()) return next(avails, 0);
    return xrun ? -EPIPE : buffer - queued;
}

long pcm_write(const int16_t *, long count) {
    play();
    long taken = next(writes, xrun ? -EPIPE : std::min<long>(count, buffer - queued));
    if (taken > 0) {
        queued += taken;
        running = running || queued >= period;
    }
    synthcalls.push_back("write " + std::to_string(taken));
    return taken;
}

int pcm_status(long long &stamp, long &delay, bool &playing) {
    synthcalls.push_back("status");
    play();
    stamp = unstamped ? 0 : synthms * 1000000;
    delay = statusdelay >= 0 ? statusdelay : static_cast<long>(queued);
    playing = running;
    return 0;
}

int pcm_prepare() {
    synthcalls.push_back("prepare");
    stop();
    return static_cast<int>(next(prepares, 0));
}

int pcm_resume() {
    synthcalls.push_back("resume");
    return static_cast<int>(next(resumes, 0));
}

void pcm_drain(int) {
    synthcalls.push_back("drain");
}

void pcm_close() {
    synthcalls.push_back("close");
    stop();
}

const char *pcm_error(int err) {
    return std::strerror(-err);
}

void synth_apply(const Event &event) {
    synthcalls.push_back("apply " + std::to_string(event.kind));
}
void synth_render(int16_t *, int count) {
    synthcalls.push_back("render " + std::to_string(count));
}
void synth_notesoff() {
    synthcalls.push_back("notes off");
}
int synth_program(int) {
    return 0;
}
int synth_voices() {
    return voices;
}

void notify(const std::string &text) {
    synthcalls.push_back("notify " + text);
}

bool cardsleep(long long ms, bool cards) {
    if ((cards && cardschanged) || stopping) return true;
    synthcalls.push_back("sleep " + std::to_string(ms));
    synthms += ms;
    return false;
}

// The clock; the input thread wakes with it, unless it hangs.
long long nowms() {
    if (!inputhangs) inputwoke = synthms;
    return synthms;
}

#include "synthstandin.h"

#include "synth/notify.h"
#include "synth/output.h"
#include "synth/pcm.h"
#include "synth/synth.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

std::vector<std::string> synthcalls;
std::deque<long> opens, waits, avails, writes, prepares, resumes;
long long synthms;
long statusdelay;
bool unstamped;

namespace {

long next(std::deque<long> &results, long ok) {
    if (results.empty()) return ok;
    long result = results.front();
    results.pop_front();
    return result;
}

} // namespace

void synthstart() {
    for (auto *results : {&opens, &waits, &avails, &writes, &prepares, &resumes})
        results->clear();
    settings = Settings();
    settings.device = "hw:9";
    stopping = false;
    cardschanged = false;
    underruns = reopens = 0;
    statusdelay = 0;
    unstamped = false;
    for (Event e; takeevent(e);) {
    }
    if (!playing.empty()) pcm_close();
    playing.clear();
    synthms += 100000;
    testing::internal::CaptureStdout();
    outputstep();
    testing::internal::GetCapturedStdout();
    synthcalls.clear();
}

int pcm_open(const std::string &device, int, int period, int periods, Granted &granted) {
    synthcalls.push_back("open " + device);
    granted = Granted();
    granted.rate = 48000, granted.period = period, granted.periods = periods;
    granted.frames = period, granted.buffer = granted.size = static_cast<long>(period) * periods;
    return static_cast<int>(next(opens, 0));
}

int pcm_wait(int ms) {
    synthcalls.push_back("wait");
    long result = next(waits, 1);
    if (result == 0) synthms += ms;
    return static_cast<int>(result);
}

long pcm_avail() {
    return next(avails, 64);
}

long pcm_write(const int16_t *, long count) {
    long taken = next(writes, count);
    synthcalls.push_back("write " + std::to_string(taken));
    return taken;
}

int pcm_status(long long &stamp, long &delay) {
    synthcalls.push_back("status");
    stamp = unstamped ? 0 : synthms * 1000000;
    delay = statusdelay;
    return 0;
}

int pcm_prepare() {
    synthcalls.push_back("prepare");
    return static_cast<int>(next(prepares, 0));
}

int pcm_resume() {
    synthcalls.push_back("resume");
    return static_cast<int>(next(resumes, 0));
}

void pcm_close() {
    synthcalls.push_back("close");
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

void notify(const std::string &text) {
    synthcalls.push_back("notify " + text);
}

long long nowms() {
    return synthms;
}

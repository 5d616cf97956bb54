#include "synth/output.h"

#include "synth/events.h"
#include "synth/notify.h"
#include "synth/pcm.h"
#include "synth/pick.h"
#include "synth/synth.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

Settings settings;
std::atomic<bool> stopping;
std::mutex cardlock;
std::condition_variable cardwake;
bool cardschanged;
std::string asounddir = "/proc/asound", drmdir = "/sys/class/drm";
long underruns, reopens;
std::string playing;

namespace {

constexpr int BLOCK = 64;            // FluidSynth's block: an event waits at most this long
constexpr int WAIT_MS = 250;         // the longest wait for room, between looks at the rest
constexpr int RETRY_MS = 2000;       // a missing output is looked for at least this often
constexpr int FEED_MS = 1000;        // systemd's watchdog is fed this often
constexpr long long STALL_MS = 1000; // at least; or three buffers' time

int16_t block[BLOCK * 2];
int left; // frames of `block` not yet taken by the card
Granted granted;
long long taken;  // when the card last took frames
long long fed;    // when the watchdog was last fed
bool ready;       // systemd was told
std::string said; // the waiting line last said

std::string buffer() {
    char text[96];
    std::snprintf(text, sizeof text, "%d x %d frames at %d Hz = %.1f ms", granted.periods,
                  granted.period, granted.rate, granted.size * 1000.0 / granted.rate);
    return text;
}

std::string counts() {
    return "program " + std::to_string(synth_program(0)) + " on channel 1; " +
           std::to_string(underruns) + " underruns, " + std::to_string(reopens) + " reopens, " +
           std::to_string(overruns + dropped) + " MIDI events lost";
}

void feed(const std::string &status) {
    fed = nowms();
    notify(std::string(ready ? "" : "READY=1\n") + "WATCHDOG=1\nSTATUS=" + status);
    ready = true;
}

std::string playingstatus() {
    return "playing through " + playing + ", " + buffer() + "; " + counts();
}

// Says once what it waits for, then sleeps until cards change or the retry is due.
void waitfor(const std::string &line, const std::string &what) {
    if (line != said) std::printf("%s\n", line.c_str());
    said = line;
    feed("waiting for " + what + "; " + counts());
    std::unique_lock<std::mutex> lock(cardlock);
    cardwake.wait_for(lock, std::chrono::milliseconds(RETRY_MS),
                      [] { return cardschanged || stopping; });
    cardschanged = false;
}

void openoutput() {
    std::string device = settings.device;
    Pick pick;
    if (device == "auto") {
        pick = pickfrom(asounddir, drmdir);
        device = pick.device;
    }
    if (device.empty())
        return waitfor("sensormidi-synth: no sound output to play through (a USB or I2S DAC, an "
                       "analog output, or HDMI with a display connected); cards found: " +
                           pick.found +
                           ". It plays once one is plugged in; or name a device in "
                           "/etc/default/sensormidi-synth.",
                       "a sound output (cards found: " + pick.found + ")");
    int err = pcm_open(device, settings.rate, settings.period, settings.periods, granted);
    if (err < 0)
        return waitfor("sensormidi-synth: waiting for " + device + ": " + pcm_error(err),
                       device + " (" + pcm_error(err) + ")");
    playing = device;
    said.clear();
    left = 0;
    taken = nowms();
    std::string through = granted.card < 0
                              ? device
                              : "card " + std::to_string(granted.card) + " " + granted.id + " (" +
                                    granted.name + ") as " + device;
    std::printf("sensormidi-synth: playing through %s, buffer %s\n", through.c_str(),
                buffer().c_str());
}

void closeoutput() {
    pcm_close();
    playing.clear();
    left = 0;
}

void reopen(const std::string &why) {
    std::printf("sensormidi-synth: %s: %s; looking for an output again\n", playing.c_str(),
                why.c_str());
    reopens++;
    closeoutput();
}

void failed(int err) {
    switch (onerror(err)) {
    case Action::again:
        return;
    case Action::recover:
        underruns++;
        if (pcm_prepare() < 0) reopen(pcm_error(err));
        return;
    case Action::resume:
        if (pcm_resume() < 0 && pcm_prepare() < 0) reopen(pcm_error(err));
        return;
    case Action::reopen:
        reopen(pcm_error(err));
        return;
    }
}

// Auto's pick, looked at again when cards changed: a different one is switched to.
bool switched() {
    {
        std::lock_guard<std::mutex> lock(cardlock);
        if (!cardschanged) return false;
        cardschanged = false;
    }
    if (settings.device != "auto") return false;
    Pick pick = pickfrom(asounddir, drmdir);
    if (pick.device == playing || pick.device.empty()) return false;
    // The notes end here, not on the new output.
    synth_notesoff();
    closeoutput();
    return true;
}

// True when the card took frames.
bool writeout() {
    long room = pcm_avail();
    if (room < 0) {
        failed(static_cast<int>(room));
        return false;
    }
    bool took = false;
    while (left > 0 || room >= BLOCK) {
        if (left == 0) {
            for (Event event; takeevent(event);)
                synth_apply(event);
            synth_render(block, BLOCK);
            left = BLOCK;
        }
        long n = pcm_write(block + (BLOCK - left) * 2, left);
        if (n < 0) {
            failed(static_cast<int>(n));
            return took;
        }
        if (n == 0) break;
        left -= static_cast<int>(n);
        room -= n;
        taken = nowms();
        took = true;
    }
    if (took && taken - fed >= FEED_MS) feed(playingstatus());
    return took;
}

} // namespace

Action onerror(int err) {
    switch (err) {
    case -EAGAIN:
        return Action::again;
    case -EPIPE:
        return Action::recover;
    case -ESTRPIPE:
        return Action::resume;
    default: // -ENODEV unplugged, -EBADFD, -EIO a stalled stream or a card's fault, ...
        return Action::reopen;
    }
}

void outputstep() {
    if (playing.empty()) return openoutput();
    if (switched()) return;
    int room = pcm_wait(WAIT_MS);
    if (room < 0) return failed(room);
    if (room > 0 && writeout()) return;
    // A stream that takes nothing (a stalled USB stream, a card's fault) never says so.
    long long stall = std::max(STALL_MS, 3000LL * granted.buffer / settings.rate);
    if (!playing.empty() && nowms() - taken >= stall)
        reopen("no frames taken for " + std::to_string(stall) + " ms");
}

void outputloop() {
    while (!stopping)
        outputstep();
    closeoutput();
}

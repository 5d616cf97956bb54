#include "synth/output.h"

#include "synth/events.h"
#include "synth/notify.h"
#include "synth/pcm.h"
#include "synth/pick.h"
#include "synth/ring.h"
#include "synth/state.h"
#include "synth/synth.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

Settings settings;
std::atomic<bool> stopping;
std::mutex cardlock;
std::condition_variable cardwake;
bool cardschanged;
std::string asounddir = "/proc/asound", drmdir = "/sys/class/drm";
long underruns, reopens;
std::string playing;
std::string periodfrom = "the smallest";
std::string statedir;
std::atomic<double> minutemedian{-1};

namespace {

constexpr int BLOCK = 64;            // FluidSynth's block: an event waits at most this long
constexpr long WAIT_MS = 250;        // the longest wait for room, between looks at the rest
constexpr int RETRY_MS = 2000;       // a missing output is looked for at least this often
constexpr int FEED_MS = 1000;        // systemd's watchdog is fed this often
constexpr long long STALL_MS = 1000; // at least; or three buffers' time
constexpr int PENDING = 64;          // notes applied whose frame is not yet timed

// What the card has room for, rendered a block at a time and written in one go: a write
// costs more than a block's rendering on a small board.
std::vector<int16_t> frames;
long left; // frames of `frames` not yet taken by the card, from `next`
long next;
long long rendered; // frames rendered since the stream opened, `frames` included
Granted granted;
std::string described; // the buffer as said, for the input thread's minute lines
long long taken;       // when the card last took frames
long long fed;         // when the watchdog was last fed
bool ready;            // systemd was told
std::string said;      // the waiting line last said
bool unstamped;        // the device gives no timestamps: said once for it
bool stalled;          // closed for taking nothing: the reopen keeps auto's count

// A Note On applied before the block that starts at `frame`, whose play is yet to be timed.
struct Pending {
    long long arrival;
    int note;
    long long frame;
    bool underrun;
};
Pending pending[PENDING];
int waiting;
Ring<Timed, 256> timed;

std::string buffer() {
    char text[96];
    std::snprintf(text, sizeof text, "%d x %d frames at %d Hz = %.1f ms", granted.periods,
                  granted.period, granted.rate, granted.size * 1000.0 / granted.rate);
    return text;
}

std::string counts() {
    char median[64] = "";
    if (minutemedian >= 0)
        std::snprintf(median, sizeof median, "notes %.1f ms (the last minute's median); ",
                      minutemedian.load());
    return median + std::string("program ") + std::to_string(synth_program(0)) + " on channel 1; " +
           std::to_string(underruns) + " underruns, " + std::to_string(reopens) + " reopens, " +
           std::to_string(overruns + dropped) + " MIDI events lost";
}

void feed(const std::string &status) {
    fed = nowms();
    notify(std::string(ready ? "" : "READY=1\n") + "WATCHDOG=1\nSTATUS=" + status);
    ready = true;
}

std::string playingstatus() {
    return "playing through " + playing + ", " + buffer() +
           (settings.autoperiod ? " (auto: " + periodfrom + ")" : "") + "; " + counts();
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
    rendered = 0;
    waiting = 0;
    unstamped = false;
    frames.resize(static_cast<size_t>(granted.buffer) * 2);
    taken = nowms();
    if (!stalled) climbopened(taken);
    stalled = false;
    {
        std::lock_guard<std::mutex> lock(cardlock);
        described = buffer();
    }
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
    waiting = 0;
}

void reopen(const std::string &why) {
    std::printf("sensormidi-synth: %s: %s; looking for an output again\n", playing.c_str(),
                why.c_str());
    reopens++;
    closeoutput();
}

// An underrun (or a stall) that makes auto's period climb.
bool climbs() {
    return settings.autoperiod && granted.frames < AUTO_LAST && climbunderrun(nowms());
}

// Auto's period doubled, for the next open.
void climb() {
    int from = static_cast<int>(granted.frames);
    settings.period = std::min(AUTO_LAST, from * 2);
    periodfrom = "climbed after underruns";
    std::printf("sensormidi-synth: %d underruns in %lld s at %d frames: now %d frames, %.1f ms\n",
                CLIMB_UNDERRUNS, CLIMB_WINDOW_MS / 1000, from, settings.period,
                settings.period * settings.periods * 1000.0 / settings.rate);
    savestate(statedir, "period", std::to_string(settings.period) + "\n");
}

void failed(int err) {
    switch (onerror(err)) {
    case Action::again:
        return;
    case Action::recover:
        underruns++;
        for (int i = 0; i < waiting; i++)
            pending[i].underrun = true;
        // Opened again at once with the longer period, its notes sounding on.
        if (climbs()) {
            climb();
            return closeoutput();
        }
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

void apply() {
    for (Event event; takeevent(event);) {
        synth_apply(event);
        if (event.kind == NOTE_ON && event.value > 0 && waiting < PENDING)
            pending[waiting++] = {event.arrival, event.key, rendered, false};
    }
}

// The notes whose first frame the card has taken, timed from one status of the stream.
void timenotes() {
    long long stamp;
    long delay;
    if (waiting == 0 || pcm_status(stamp, delay) < 0) return;
    if (stamp == 0) {
        if (!unstamped)
            std::printf("sensormidi-synth: %s gives no timestamps: the notes' latency is not "
                        "measured\n",
                        playing.c_str());
        unstamped = true;
        waiting = 0;
        return;
    }
    long long written = rendered - left;
    int kept = 0;
    for (int i = 0; i < waiting; i++) {
        const Pending &p = pending[i];
        if (p.frame >= written) {
            pending[kept++] = p;
            continue;
        }
        long long at = playedat(stamp, delay, written, p.frame, settings.rate);
        timed.push({p.arrival, p.note, (at - p.arrival) / 1e6, p.underrun});
    }
    waiting = kept;
}

// True when the card took frames.
bool writeout() {
    long room = pcm_avail();
    if (room < 0) {
        failed(static_cast<int>(room));
        return false;
    }
    if (left == 0) {
        for (next = 0; left + BLOCK <= std::min(room, granted.buffer); left += BLOCK) {
            apply();
            synth_render(&frames[static_cast<size_t>(left) * 2], BLOCK);
            rendered += BLOCK;
        }
    }
    if (left == 0) return false;
    long n = pcm_write(&frames[static_cast<size_t>(next) * 2], left);
    if (n < 0) {
        failed(static_cast<int>(n));
        return false;
    }
    left -= n;
    next += n;
    bool took = n > 0;
    if (took) taken = nowms();
    if (took) timenotes();
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

bool taketimed(Timed &t) {
    return timed.pop(t);
}

std::string outputbuffer() {
    std::lock_guard<std::mutex> lock(cardlock);
    return described;
}

void outputstep() {
    if (playing.empty()) return openoutput();
    if (switched()) return;
    // A buffer's time at most: a card whose pointer jumps (an emulated one, a loopback
    // moving at the kernel's tick) may take frames without the wake-up that should follow.
    int room =
        pcm_wait(static_cast<int>(std::clamp(granted.buffer * 1000 / settings.rate, 1L, WAIT_MS)));
    if (room < 0) return failed(room);
    if (writeout()) return;
    // A stream that takes nothing (a stalled USB stream, a card's fault) never says so. For
    // auto it counts as an underrun: a card that stalls at a short period (as an emulated
    // one may) is one the box does not hold there either.
    long long stall = std::max(STALL_MS, 3000LL * granted.buffer / settings.rate);
    if (playing.empty() || nowms() - taken < stall) return;
    bool climbing = climbs();
    reopen("no frames taken for " + std::to_string(stall) + " ms");
    if (climbing) climb();
    stalled = true;
}

void outputloop() {
    while (!stopping)
        outputstep();
    closeoutput();
}

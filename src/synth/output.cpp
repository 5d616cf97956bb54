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
long underruns, reopens, badfigures;
std::string playing;
std::string periodfrom = "the smallest";
std::string statedir;
std::atomic<double> minutemedian{-1};
std::atomic<long long> inputwoke;

namespace {

constexpr int BLOCK = 64;            // FluidSynth's block: an event waits at most this long
constexpr long WAIT_MS = 250;        // the longest wait for room, between looks at the rest
constexpr int RETRY_MS = 2000;       // a missing output is looked for at least this often
constexpr int FEED_MS = 1000;        // systemd's watchdog is fed this often
constexpr long long STALL_MS = 1000; // at least; or three buffers' time
constexpr int PENDING = 64;          // notes applied whose frame is not yet timed
// After a reopen, a failed prepare or resume, the next open waits this long, doubling up to
// the retry's; once sound has flowed this long, no more.
constexpr long long BACKOFF_FIRST_MS = 100, FLOWED_MS = 10000;
// Reopens in a row with no frame played: then systemd is left to restart the synth.
constexpr int GIVE_UP = 3;
// The input thread wakes at least once a second: older than this, it hangs.
constexpr long long INPUT_MS = 3000;
constexpr long long RELEASE_MS = 200; // at a stop, the notes' release played out
constexpr int DRAIN_MS = 500;

// What the card has room for, rendered a block at a time and written in one go: a write
// costs more than a block's rendering on a small board.
std::vector<int16_t> frames;
long left; // frames of `frames` not yet taken by the card, from `next`
long next;
long long rendered; // frames rendered since the stream opened, `frames` included
long long written;  // frames the card took since the stream opened
long long played;   // frames the card played, as its pointer says
Granted granted;
std::string described;   // the buffer as said, for the input thread's minute lines
long long movedat;       // when the card's pointer last moved: sound flowing
long long flowing;       // since when sound flows without a break (-1: it does not)
long long fed;           // when the watchdog was last fed
bool ready;              // systemd was told
std::string said;        // the waiting line last said
std::string saidplaying; // the playing line last said
bool unstamped;          // the device gives no timestamps: said once for it
bool stalled;            // closed for playing nothing: the reopen keeps auto's count
long long backoff;       // the wait before the next open (0: none)
long long openat;        // not before this
int silent;              // reopens in a row with no frame played in between
bool unfed;              // systemd is left to restart the synth: said once

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

// Says once why systemd is no longer told that all is well, so that its watchdog restarts
// the synth.
void giveup(const std::string &why) {
    if (!unfed) {
        std::printf("sensormidi-synth: %s: leaving systemd's watchdog unfed, for it to restart "
                    "the synth\n",
                    why.c_str());
        notify("STATUS=" + why);
    }
    unfed = true;
}

// Tells systemd that all is well, while the input thread wakes too.
void feed(const std::string &status) {
    long long now = nowms();
    if (now - inputwoke > INPUT_MS)
        return giveup("the MIDI input has not woken for over " + std::to_string(INPUT_MS / 1000) +
                      " s");
    if (silent >= GIVE_UP) return;
    unfed = false;
    fed = now;
    notify(std::string(ready ? "" : "READY=1\n") + "WATCHDOG=1\nSTATUS=" + status);
    ready = true;
}

std::string playingstatus() {
    return "playing through " + playing + ", " + buffer() +
           (settings.autoperiod ? " (auto: " + periodfrom + ")" : "") + "; " + counts();
}

// While nothing can play, what arrives still sets the instrument: programs, controllers,
// the sounding note's end. Notes played meanwhile are not played later.
void drainstale() {
    for (Event event; takeevent(event);)
        if (event.kind != NOTE_ON || event.value == 0) synth_apply(event);
}

// Sleeps until `until` (ms), or until cards change if `cards`; what arrives meanwhile is
// kept up with every 100 ms.
void sleepuntil(long long until, bool cards) {
    for (long long now = nowms(); now < until && !stopping; now = nowms()) {
        drainstale();
        if (cardsleep(std::min(until - now, 100LL), cards)) break;
    }
    drainstale();
}

// Says once what it waits for, then sleeps until cards change or the retry is due.
void waitfor(const std::string &line, const std::string &what) {
    if (line != said) std::printf("%s\n", line.c_str());
    said = line;
    feed("waiting for " + what + "; " + counts());
    sleepuntil(nowms() + RETRY_MS, true);
    std::lock_guard<std::mutex> lock(cardlock);
    cardschanged = false;
}

void openoutput() {
    // (Not fed meanwhile: a card that fails again and again gets no word to systemd.)
    if (nowms() < openat) return sleepuntil(openat, false);
    drainstale();
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
    if (settings.autoperiod) settings.period = climbperiod;
    int err = pcm_open(device, settings.rate, settings.period, settings.periods, granted);
    if (err < 0)
        return waitfor("sensormidi-synth: waiting for " + device + ": " + pcm_error(err),
                       device + " (" + pcm_error(err) + ")");
    playing = device;
    said.clear();
    left = 0;
    rendered = written = played = 0;
    waiting = 0;
    unstamped = false;
    frames.resize(static_cast<size_t>(granted.buffer) * 2);
    movedat = nowms();
    flowing = -1;
    if (!stalled) climbopened(movedat);
    stalled = false;
    {
        std::lock_guard<std::mutex> lock(cardlock);
        described = buffer();
    }
    std::string through = granted.card < 0
                              ? device
                              : "card " + std::to_string(granted.card) + " " + granted.id + " (" +
                                    granted.name + ") as " + device;
    std::string line = "sensormidi-synth: playing through " + through + ", buffer " + buffer();
    // Opened again after a second reopen with nothing played between: no news.
    if (silent <= 1 || line != saidplaying) std::printf("%s\n", line.c_str());
    saidplaying = line;
}

void closeoutput() {
    pcm_close();
    playing.clear();
    left = 0;
    waiting = 0;
}

// The next open waits, the longer the more often it failed.
void holdoff() {
    backoff = backoff ? std::min<long long>(backoff * 2, RETRY_MS) : BACKOFF_FIRST_MS;
    openat = nowms() + backoff;
}

void reopen(const std::string &why) {
    // One line for a run of reopens that play nothing; then systemd is left to act.
    if (++silent == 1)
        std::printf("sensormidi-synth: %s: %s; looking for an output again\n", playing.c_str(),
                    why.c_str());
    if (silent == GIVE_UP)
        giveup(playing + ": no frame played after " + std::to_string(GIVE_UP) + " opens in a row");
    reopens++;
    closeoutput();
    holdoff();
}

// An underrun (or a stall) that makes auto's period climb.
bool climbs() {
    return settings.autoperiod && climbunderrun(nowms(), static_cast<int>(granted.frames));
}

// Auto's period doubled, or halved to be tried, for the next open.
void newperiod(const char *why) {
    std::printf("sensormidi-synth: %s at %ld frames: now %d frames, %.1f ms\n", why, granted.frames,
                climbperiod, climbperiod * settings.periods * 1000.0 / settings.rate);
    savestate(statedir, "period", climbkept());
}

void climb() {
    periodfrom = "climbed after underruns";
    newperiod((std::to_string(CLIMB_UNDERRUNS) + " underruns in " +
               std::to_string(CLIMB_WINDOW_MS / 1000) + " s")
                  .c_str());
}

// The stream prepared anew: what was in its buffer is gone.
void prepared() {
    played = written;
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
        if (pcm_prepare() < 0) return reopen(pcm_error(err));
        return prepared();
    case Action::resume:
        if (pcm_resume() == 0) return;
        if (pcm_prepare() < 0) return reopen(pcm_error(err));
        return prepared();
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

// Auto's period tried lower after a quiet stretch, while no voice sounds.
bool descended() {
    if (!settings.autoperiod || synth_voices() > 0 || !climbdescend(nowms())) return false;
    periodfrom = "tried lower after a quiet stretch";
    newperiod(("no underrun for " + std::to_string(climbstretch / 60000) + " min").c_str());
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

// The notes whose first frame the card has taken, timed from one status of the running
// stream.
void timenotes() {
    long long stamp;
    long delay;
    bool running;
    if (waiting == 0 || pcm_status(stamp, delay, running) < 0 || !running) return;
    if (stamp == 0) {
        if (!unstamped)
            std::printf("sensormidi-synth: %s gives no timestamps: the notes' latency is not "
                        "measured\n",
                        playing.c_str());
        unstamped = true;
        waiting = 0;
        return;
    }
    int kept = 0;
    for (int i = 0; i < waiting; i++) {
        const Pending &p = pending[i];
        if (p.frame >= written) {
            pending[kept++] = p;
            continue;
        }
        double ms = (playedat(stamp, delay, written, p.frame, settings.rate) - p.arrival) / 1e6;
        if (ms >= 0) {
            timed.push({p.arrival, p.note, ms, p.underrun});
        } else if (badfigures++ == 0) {
            std::printf("sensormidi-synth: %s: a note timed %.1f ms, before it came: its figures "
                        "are left out\n",
                        playing.c_str(), ms);
        }
    }
    waiting = kept;
}

// The card's pointer, from the room it has: sound flows while it moves.
void pointer(long room) {
    long long now = nowms(), at = written - (granted.buffer - room);
    if (at <= played) return;
    played = at;
    movedat = now;
    if (flowing < 0) flowing = now;
    if (now - flowing >= FLOWED_MS) backoff = 0;
    silent = 0;
    if (now - fed >= FEED_MS) feed(playingstatus());
}

void writeout() {
    long room = pcm_avail();
    if (room < 0) return failed(static_cast<int>(room));
    pointer(room);
    if (left == 0) {
        for (next = 0; left + BLOCK <= std::min(room, granted.buffer); left += BLOCK) {
            apply();
            synth_render(&frames[static_cast<size_t>(left) * 2], BLOCK);
            rendered += BLOCK;
        }
    }
    if (left == 0) return;
    long n = pcm_write(&frames[static_cast<size_t>(next) * 2], left);
    if (n < 0) return failed(static_cast<int>(n));
    left -= n;
    next += n;
    written += n;
    if (n > 0) timenotes();
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
    if (switched() || descended()) return;
    // A buffer's time at most: a card whose pointer jumps (an emulated one, a loopback
    // moving at the kernel's tick) may take frames without the wake-up that should follow.
    int room =
        pcm_wait(static_cast<int>(std::clamp(granted.buffer * 1000 / settings.rate, 1L, WAIT_MS)));
    if (room < 0) return failed(room);
    writeout();
    if (playing.empty()) return;
    long long now = nowms();
    if (now - movedat > FLOWED_MS / 2) flowing = -1;
    // A stream whose pointer does not move (a stalled USB stream, a card's fault, one that
    // takes frames and never plays them) never says so. For auto it counts as an underrun:
    // a card that stalls at a short period (as an emulated one may) is one the box does not
    // hold there either.
    long long stall = std::max(STALL_MS, 3000LL * granted.buffer / settings.rate);
    if (now - movedat < stall) return;
    bool climbing = climbs();
    reopen("no frames played for " + std::to_string(stall) + " ms");
    if (climbing) climb();
    stalled = true;
}

void outputloop() {
    while (!stopping)
        outputstep();
    if (playing.empty()) return;
    // The notes end as a player's would: their release played out, then the buffer.
    synth_notesoff();
    for (long long until = nowms() + RELEASE_MS; nowms() < until && !playing.empty();) {
        int room = pcm_wait(static_cast<int>(WAIT_MS));
        if (room < 0) break;
        writeout();
    }
    if (!playing.empty()) pcm_drain(DRAIN_MS);
    closeoutput();
}

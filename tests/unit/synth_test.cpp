#include "synthstandin.h"

#include "synth/climb.h"
#include "synth/events.h"
#include "synth/latency.h"
#include "synth/output.h"
#include "synth/pick.h"
#include "synth/settings.h"
#include "synth/state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <malloc.h>
#include <map>
#include <tuple>
#include <unistd.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using calllist = std::vector<std::string>;

namespace {

std::map<std::string, const char *> environment;
const char *lookup(const char *name) {
    auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second;
}

TEST(Settings, ShippedValuesAndEachBadOneNamed) {
    struct {
        std::map<std::string, const char *> set;
        std::string said;
    } cases[] = {
        {{}, ""},
        {{{"GAIN", "1.5"}, {"PERIOD_SIZE", "8192"}, {"PERIODS", "2"}, {"SAMPLE_RATE", "8000"}}, ""},
        {{{"GAIN", "abc"}}, "sensormidi-synth: GAIN=abc: not a number from 0 to 10"},
        {{{"GAIN", "10.5"}}, "sensormidi-synth: GAIN=10.5: not a number from 0 to 10"},
        {{{"PERIOD_SIZE", "0"}},
         "sensormidi-synth: PERIOD_SIZE=0: not \"auto\" or a whole number from 64 to 8192"},
        {{{"PERIOD_SIZE", "64 "}},
         "sensormidi-synth: PERIOD_SIZE=64 : not \"auto\" or a whole number from 64 to 8192"},
        {{{"PERIODS", ""}}, "sensormidi-synth: PERIODS=: not a whole number from 2 to 64"},
        {{{"SAMPLE_RATE", "44.1"}},
         "sensormidi-synth: SAMPLE_RATE=44.1: not a whole number from 8000 to 96000"},
        {{{"AUDIO_DEVICE", ""}},
         "sensormidi-synth: AUDIO_DEVICE=: empty: \"auto\" or an ALSA device"},
    };
    for (auto &c : cases) {
        environment = c.set;
        Settings s;
        EXPECT_EQ(readsettings(lookup, s), c.said);
        if (c.set.size() == 4) {
            EXPECT_EQ((std::vector<double>{s.gain, 1.0 * s.period, 1.0 * s.periods, 1.0 * s.rate}),
                      (std::vector<double>{1.5, 8192, 2, 8000}));
        }
    }
}

TEST(Pick, RepickedOnACardsChangeOrRemovalAndADisplaysChange) {
    struct {
        const char *subsystem, *action, *name;
        bool repicks;
    } cases[] = {
        {"sound", "change", "card2", true},      {"sound", "remove", "card2", true},
        {"sound", "add", "card2", false},        {"sound", "remove", "pcmC2D0p", false},
        {"sound", "change", "controlC2", false}, {"drm", "change", "card0", true},
        {"drm", "add", "card0-HDMI-A-1", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(repicks(c.subsystem, c.action, c.name), c.repicks)
            << c.subsystem << " " << c.action << " " << c.name;
}

TEST(Programs, KeptPerChannelAndReadBackIgnoringWhatIsNot) {
    int kept[CHANNELS], back[CHANNELS];
    std::fill(kept, kept + CHANNELS, -1);
    std::fill(back, back + CHANNELS, -1);
    kept[0] = 66, kept[9] = 0;
    EXPECT_EQ(formatprograms(kept), "1 66\n10 0\n");
    parseprograms(formatprograms(kept) + "17 5\n2 128\n3 x\n4 5 6\n", back);
    EXPECT_EQ(std::vector<int>(back, back + CHANNELS), std::vector<int>(kept, kept + CHANNELS));
}

TEST(Events, SequencerEventsAsTheSynthPlaysThem) {
    snd_seq_event_t seq{};
    Event e;
    seq.type = SND_SEQ_EVENT_PITCHBEND, seq.data.control.channel = 3,
    seq.data.control.value = -8192;
    ASSERT_TRUE(fromseq(seq, 0, e));
    EXPECT_EQ((std::vector<int>{e.kind, e.channel, e.value}), (std::vector<int>{PITCH_BEND, 3, 0}));
    seq.type = SND_SEQ_EVENT_NOTEON, seq.data.note = {0, 62, 100, 0, 0};
    ASSERT_TRUE(fromseq(seq, 0, e));
    EXPECT_EQ((std::vector<int>{e.kind, e.channel, e.key, e.value}),
              (std::vector<int>{NOTE_ON, 0, 62, 100}));
    seq.type = SND_SEQ_EVENT_CONTROLLER, seq.data.control.param = 300;
    EXPECT_FALSE(fromseq(seq, 0, e));
    seq.type = SND_SEQ_EVENT_CLOCK;
    EXPECT_FALSE(fromseq(seq, 0, e));
}

TEST(Events, AFloodIsCountedNotQueued) {
    long before = dropped;
    int queued = 0;
    while (queueevent({NOTE_ON, 0, 60, 100, 0}))
        queued++;
    EXPECT_EQ(dropped, before + 1);
    Event e;
    while (takeevent(e))
        queued--;
    EXPECT_EQ(queued, 0);
}

// How often systemd heard that all is well, in the calls recorded.
long fed() {
    return std::count_if(synthcalls.begin(), synthcalls.end(), [](const std::string &call) {
        return call.find("WATCHDOG=1") != std::string::npos;
    });
}

long called(const std::string &what) {
    return std::count(synthcalls.begin(), synthcalls.end(), what);
}

// The loop run until the clock reads `until`; what it said meanwhile, unless the caller
// hears it.
void stepuntil(long long until) {
    for (int steps = 0; synthms < until && steps < 1000000; steps++)
        outputstep();
}
std::string rununtil(long long until) {
    CaptureStdout();
    stepuntil(until);
    return GetCapturedStdout();
}

const std::string BLOCK = "render 64";

// Each error the card gives, where it gives it, and what follows.
TEST(Output, EachErrorEndsInItsAction) {
    struct {
        const char *name;
        std::deque<long> *where;
        std::vector<long> results;
        calllist calls;
        long underruns, reopens;
        bool open;
    } cases[] = {
        {"underrun",
         &writes,
         {-EPIPE},
         {"wait", BLOCK, BLOCK, BLOCK, "write -32", "prepare"},
         1,
         0,
         true},
        {"underrun, no prepare", &prepares, {-EIO}, {}, 1, 1, false},
        {"suspended", &waits, {-ESTRPIPE}, {"wait", "resume"}, 0, 0, true},
        {"suspended, no resume", &resumes, {-ENOSYS}, {"wait", "resume", "prepare"}, 0, 0, true},
        {"unplugged",
         &writes,
         {-ENODEV},
         {"wait", BLOCK, BLOCK, BLOCK, "write -19", "close"},
         0,
         1,
         false},
        {"bad state", &waits, {-EBADFD}, {"wait", "close"}, 0, 1, false},
        {"stalled stream", &avails, {-EIO}, {"wait", "close"}, 0, 1, false},
        {"no room yet", &writes, {-EAGAIN}, {"wait", BLOCK, BLOCK, BLOCK, "write -11"}, 0, 0, true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        synthstart();
        if (c.where == &prepares) writes = {-EPIPE};
        if (c.where == &resumes) waits = {-ESTRPIPE};
        c.where->assign(c.results.begin(), c.results.end());
        CaptureStdout();
        outputstep();
        std::string said = GetCapturedStdout();
        if (!c.calls.empty()) {
            EXPECT_EQ(synthcalls, c.calls);
        }
        EXPECT_EQ(underruns, c.underruns);
        EXPECT_EQ(reopens, c.reopens);
        EXPECT_EQ(!playing.empty(), c.open);
        if (!c.open) {
            EXPECT_NE(said.find("hw:9: "), std::string::npos) << said;
        }
    }
}

// The first open after a reopen is said; those after, with nothing played between, are not.
#define PLAYING_AGAIN                                                                              \
    "sensormidi-synth: playing through hw:9, buffer 3 x 64 frames at 48000 Hz = 4.0 ms\n"

// A card that says it plays and does not, and the other ways a synth could play silent while
// systemd hears that all is well: each, and what the loop does about it.
TEST(Output, NeverSilentWhileItSaysItPlays) {
    struct {
        const char *name;
        void (*make)();   // the fault, on a stream just opened
        long long for_ms; // run this long
        void (*check)(const std::string &said);
    } cases[] = {
        {"sound flows: fed each second, said once", [] {}, 3000,
         [](const std::string &said) {
             EXPECT_GE(fed(), 2);
             EXPECT_EQ(said, "");
             EXPECT_EQ(reopens, 0);
         }},
        {"a card that takes frames and never plays them: reopened after a second, three times, "
         "then systemd is left to restart the synth",
         [] {
             still = true;
             settings.autoperiod = false;
         },
         19200,
         [](const std::string &said) {
             EXPECT_EQ(fed(), 0);
             // Each open after a pause, doubling: not a reopen a second.
             EXPECT_GE(reopens, 3);
             EXPECT_LE(called("open hw:9"), 9);
             EXPECT_EQ(said, "sensormidi-synth: hw:9: no frames played for 1000 ms; looking for an "
                             "output again\n" PLAYING_AGAIN
                             "sensormidi-synth: hw:9: no frame played after 3 opens in a row: "
                             "leaving systemd's watchdog unfed, for it to restart the synth\n");
         }},
        {"the MIDI input hangs: not fed once its mark is 3 s old, said once",
         [] { inputhangs = true; }, 6000,
         [](const std::string &said) {
             EXPECT_LE(fed(), 3);
             EXPECT_EQ(said, "sensormidi-synth: the MIDI input has not woken for over 3 s: leaving "
                             "systemd's watchdog unfed, for it to restart the synth\n");
         }},
        {"a prepare that fails each time: opens 100 ms apart, doubling to 2 s, one line",
         [] {
             writes.assign(100, -EPIPE);
             prepares.assign(100, -EIO);
         },
         8000,
         [](const std::string &said) {
             // Opened at once, then after 100, 200, 400, 800, 1600, 2000, 2000 ms.
             EXPECT_EQ(called("open hw:9"), 7);
             EXPECT_EQ(
                 said,
                 "sensormidi-synth: hw:9: Broken pipe; looking for an output again\n" PLAYING_AGAIN
                 "sensormidi-synth: hw:9: no frame played after 3 opens in a row: "
                 "leaving systemd's watchdog unfed, for it to restart the synth\n");
         }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        synthstart();
        c.make();
        std::string said = rununtil(synthms + c.for_ms);
        c.check(said);
    }
}

// What arrives while no output plays: the instrument is kept right (its program, its
// controllers, the end of its note); its notes are not played, nor timed, later.
TEST(Output, NoStaleBurstWhenTheOutputComesBack) {
    synthstart();
    opens = {-ENODEV, -ENODEV};
    writes = {-ENODEV};
    rununtil(synthms + 10);
    for (int i = 0; i < 100; i++) {
        queueevent({NOTE_ON, 0, 60, 100, synthms * 1000000});
        queueevent({NOTE_OFF, 0, 60, 0, synthms * 1000000});
    }
    queueevent({PROGRAM_CHANGE, 0, 66, 0, synthms * 1000000});
    queueevent({CONTROL_CHANGE, 0, 7, 90, synthms * 1000000});
    synthcalls.clear();
    CaptureStdout();
    for (int steps = 0; playing.empty() && steps < 100; steps++)
        outputstep();
    GetCapturedStdout();
    rununtil(synthms + 1000);
    EXPECT_FALSE(playing.empty());
    EXPECT_EQ(called("apply " + std::to_string(NOTE_ON)), 0);
    EXPECT_EQ(called("apply " + std::to_string(NOTE_OFF)), 100);
    EXPECT_EQ(called("apply " + std::to_string(PROGRAM_CHANGE)), 1);
    EXPECT_EQ(called("apply " + std::to_string(CONTROL_CHANGE)), 1);
    Timed t;
    EXPECT_FALSE(taketimed(t));
}

// A stop: the notes end, their release is played out for 200 ms, the buffer drains, and the
// stream closes.
TEST(Output, AStopPlaysTheReleaseOutAndDrains) {
    synthstart();
    rununtil(synthms + 1000);
    synthcalls.clear();
    long long began = synthms;
    stopping = true;
    outputloop();
    EXPECT_EQ(synthcalls.front(), "notes off");
    EXPECT_GE(called(BLOCK), 200 * 48 / 64 - 3);
    EXPECT_EQ((calllist{synthcalls.end() - 2, synthcalls.end()}), (calllist{"drain", "close"}));
    EXPECT_GE(synthms - began, 200);
    EXPECT_TRUE(playing.empty());
}

TEST(Output, ABusyOrMissingDeviceIsWaitedForAndOpenedOnTheNextEvent) {
    synthstart();
    writes = {-ENODEV};
    CaptureStdout();
    outputstep();
    outputstep(); // the back-off
    opens = {-EBUSY, -ENOENT};
    cardschanged = true;
    outputstep();
    cardschanged = true;
    outputstep();
    std::string said = GetCapturedStdout();
    EXPECT_NE(said.find("waiting for hw:9: Device or resource busy\n"), std::string::npos) << said;
    EXPECT_NE(said.find("waiting for hw:9: No such file or directory\n"), std::string::npos)
        << said;
    EXPECT_TRUE(playing.empty());
    CaptureStdout();
    cardschanged = true;
    outputstep();
    // Back: said, though the same as before it went.
    EXPECT_EQ(GetCapturedStdout().rfind("sensormidi-synth: playing through hw:9, buffer ", 0), 0);
    EXPECT_EQ(playing, "hw:9");
    // Waiting on purpose, it is fed at each look.
    EXPECT_GE(fed(), 2);
}

// PERIOD_SIZE=auto picks anew when cards change: a DAC plugged in is switched to, the notes
// ended on the old output.
// A box's cards, as /proc/asound lists them, in folders of the test's own: a PC's codec,
// and with a USB DAC plugged in or not.
struct Cards {
    std::string dirs[2];
    Cards() {
        for (bool dac : {false, true}) {
            char dir[] = "/tmp/synth-cards-XXXXXX";
            EXPECT_TRUE(mkdtemp(dir));
            dirs[dac] = dir;
            write(dirs[dac] + "/cards",
                  std::string(" 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n") +
                      (dac ? " 1 [Device         ]: USB-Audio - USB Audio Device\n" : ""));
            write(dirs[dac] + "/pcm",
                  std::string("00-00: ALC887 Analog : ALC887 Analog : playback 1\n") +
                      (dac ? "01-00: USB Audio : USB Audio : playback 1\n" : ""));
        }
        dac(false);
    }
    ~Cards() {
        asounddir = "/proc/asound", drmdir = "/sys/class/drm";
        for (const std::string &dir : dirs) {
            for (const char *name : {"/cards", "/pcm"})
                std::remove((dir + name).c_str());
            rmdir(dir.c_str());
        }
    }
    static void write(const std::string &path, const std::string &text) {
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    void dac(bool plugged) {
        asounddir = drmdir = dirs[plugged];
        cardschanged = true;
    }
};

// PERIOD_SIZE=auto picks anew when cards change: a DAC plugged in is switched to, the notes
// ended on the old output.
TEST(Output, AutoFollowsTheCardsPick) {
    synthstart();
    Cards cards;
    settings.device = "auto";
    rununtil(synthms + 100);
    EXPECT_EQ(playing, "plughw:CARD=PCH,DEV=0");
    synthcalls.clear();
    cards.dac(true);
    rununtil(synthms + 100);
    EXPECT_EQ(playing, "plughw:CARD=Device,DEV=0");
    calllist order;
    for (const auto &call : synthcalls)
        if (call == "notes off" || call == "close" || call.rfind("open", 0) == 0)
            order.push_back(call);
    EXPECT_EQ(order, (calllist{"notes off", "close", "open plughw:CARD=Device,DEV=0"}));
}

long openfds() {
    long n = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds))
            n++;
        closedir(fds);
    }
    return n;
}

// Weeks of a DAC going and coming, and of a stream reopened: 10,000 of each leave the
// descriptors and the heap as they were.
TEST(Output, TenThousandFollowsAndReopensLeaveNothingBehind) {
    synthstart();
    Cards cards;
    settings.device = "auto";
    auto cycle = [&](int times) {
        CaptureStdout();
        for (int i = 0; i < times; i++) {
            cards.dac(i % 2 == 0);
            stepuntil(synthms + 5);
            avails = {-EIO};
            stepuntil(synthms + 2005); // its back-off
            synthcalls.clear();
        }
        GetCapturedStdout();
    };
    cycle(100);
    long fds = openfds();
    size_t heap = mallinfo2().uordblks;
    cycle(10000);
    EXPECT_EQ(openfds(), fds);
    EXPECT_LE(mallinfo2().uordblks, heap + 4096);
    EXPECT_GE(reopens, 10000);
}

} // namespace

namespace {

// Underruns at these moments (ms) after an open at 0: whether each makes the period climb.
TEST(Climb, ThreeUnderrunsWithinAMinuteAfterTheGrace) {
    struct {
        const char *name;
        std::vector<long long> at;
        std::vector<bool> climbs;
    } cases[] = {
        {"a burst", {6000, 6100, 6200}, {false, false, true}},
        {"within the grace", {1000, 2000, 4999, 5000, 5001}, {false, false, false, false, false}},
        {"spread over more than a minute",
         {6000, 40000, 66001, 70000},
         {false, false, false, true}},
        {"counted anew after a climb",
         {6000, 6001, 6002, 6003, 6004, 6005},
         {false, false, true, false, false, true}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        climbstart("", 0);
        climbopened(0);
        std::vector<bool> climbs;
        for (long long at : c.at)
            climbs.push_back(climbunderrun(at, AUTO_FIRST));
        EXPECT_EQ(climbs, c.climbs);
    }
    EXPECT_FALSE(climbunderrun(7000, AUTO_LAST) || climbunderrun(7001, AUTO_LAST) ||
                 climbunderrun(7002, AUTO_LAST));
    EXPECT_EQ(climbperiod, 2 * AUTO_FIRST);
    // Kept for a restart: the period and the stretch; what is not whole starts afresh.
    for (auto [kept, period, stretch] : {std::tuple{"256 1200000\n", 256, 1200000LL},
                                         {"256\n", AUTO_FIRST, STRETCH_FIRST_MS},
                                         {"4096 600000\n", AUTO_FIRST, STRETCH_FIRST_MS},
                                         {"", AUTO_FIRST, STRETCH_FIRST_MS}}) {
        climbstart(kept, 0);
        EXPECT_EQ((std::pair{climbperiod, climbstretch}), (std::pair{period, stretch})) << kept;
    }
    climbstart("512 2400000\n", 0);
    EXPECT_EQ(climbkept(), "512 2400000\n");
}

// A box played second by second, on the fake clock: it holds `holds` frames, and `loaded`
// while `load(second)`. Underruns come each second at a period it does not hold; the
// period is tried lower whenever no voice sounds. Each change of period, and when.
struct Change {
    long long at;
    int period;
};
std::vector<Change> played(long long seconds, int holds, int loaded,
                           bool (*load)(long long second)) {
    climbstart("", 0);
    climbopened(0);
    std::vector<Change> changes;
    for (long long s = 1; s <= seconds; s++) {
        long long now = s * 1000;
        int needs = load(s) ? loaded : holds;
        bool changed = climbperiod < needs ? climbunderrun(now, climbperiod) : climbdescend(now);
        if (changed) {
            climbopened(now);
            changes.push_back({now, climbperiod});
        }
    }
    return changes;
}

constexpr long long HOUR = 3600, DAY = 24 * HOUR;

// A week of a box that holds 64 frames, with five minutes of load every four hours that
// only 512 frames hold: it climbs in each burst, and comes back to 64 after it, a stretch
// a step; a lower period is never tried sooner than a stretch after the last change.
TEST(Climb, AWeekOfBurstsComesBackToWhatTheBoxHolds) {
    auto bursts = [](long long s) { return s % (4 * HOUR) < 300; };
    std::vector<Change> changes = played(7 * DAY, 64, 512, bursts);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().period, 64);
    long long at64 = 0, last = 0;
    int period = 64;
    for (const Change &c : changes) {
        if (c.period < period) {
            EXPECT_GE(c.at - last, STRETCH_FIRST_MS) << c.at;
        }
        if (period == 64) at64 += c.at - last;
        last = c.at, period = c.period;
    }
    at64 += 7 * DAY * 1000 - last;
    // Each burst: 5 minutes, then three steps down of a stretch each.
    EXPECT_GT(at64, 7 * DAY * 1000 * 8 / 10);
    EXPECT_LE(climbstretch, 4 * STRETCH_FIRST_MS);
}

// A box that holds only 256 frames: each try at 128 fails, and the next waits twice as long,
// up to a day: it settles at 256 and tries at most twice a day after the first.
TEST(Climb, ABoxThatHoldsLessSettlesAndStopsTrying) {
    auto never = [](long long) { return false; };
    std::vector<Change> changes = played(7 * DAY, 256, 256, never);
    EXPECT_EQ(climbperiod, 256);
    EXPECT_EQ(climbstretch, STRETCH_LAST_MS);
    int tries = 0;
    for (size_t i = 1; i < changes.size(); i++) {
        EXPECT_GE(changes[i].at - changes[i - 1].at, 1000) << i;
        tries += changes[i].period < changes[i - 1].period && changes[i].at >= 6 * DAY * 1000;
    }
    EXPECT_LE(tries, 2);
}

TEST(Output, AutoClimbsOnTheThirdUnderrunWithoutEndingTheNotes) {
    synthstart();
    ASSERT_TRUE(settings.autoperiod);
    rununtil(synthms + 6000); // past the grace after the open
    writes = {-EPIPE, -EPIPE, -EPIPE};
    CaptureStdout();
    for (int i = 0; i < 4; i++)
        outputstep();
    EXPECT_EQ(GetCapturedStdout(), "sensormidi-synth: 3 underruns in 60 s at 64 frames: now 128 "
                                   "frames, 8.0 ms\nsensormidi-synth: playing through hw:9, buffer "
                                   "3 x 128 frames at 48000 Hz = 8.0 ms\n");
    EXPECT_EQ(called("notes off"), 0);
    EXPECT_EQ(reopens, 0);
    // At the ceiling it stays, and prepares as for any underrun.
    climbstart("2048 600000\n", synthms);
    writes = {-ENODEV};
    rununtil(synthms + 6000);
    ASSERT_EQ(settings.period, AUTO_LAST);
    writes = {-EPIPE, -EPIPE, -EPIPE};
    for (int i = 0; i < 3; i++)
        outputstep();
    EXPECT_EQ(climbperiod, AUTO_LAST);
    EXPECT_EQ(synthcalls.back(), "prepare");
}

TEST(Output, AutoClimbsOnStallsToo) {
    synthstart();
    synthms += 6000;
    outputstep();
    CaptureStdout();
    for (int stall = 0; stall < 3; stall++) {
        avails = {0, 0, 0, 0, 0};
        waits = {0, 0, 0, 0, 0};
        for (int i = 0; i < 4; i++) {
            synthms += 300;
            outputstep();
        }
        outputstep(); // opened again
    }
    std::string said = GetCapturedStdout();
    EXPECT_NE(said.find("3 underruns in 60 s at 64 frames: now 128 frames"), std::string::npos)
        << said;
    EXPECT_EQ(reopens, 3);
}

// A Note On timed from its arrival to the card's output of the first frame after it: the
// frames written before it still to play, at the status's moment.
TEST(Output, EachNoteTimedToItsFrameLeavingTheCard) {
    synthstart();
    long long arrival = (synthms - 3) * 1000000;
    queueevent({NOTE_ON, 0, 62, 100, arrival});
    avails = {128};       // two blocks, the note applied before the first
    statusdelay = 48 * 4; // at the status, 4 ms of frames still to play before the next written
    outputstep();
    Timed t;
    ASSERT_TRUE(taketimed(t));
    // 3 ms since its arrival, then 4 ms less the two blocks' 128 frames (2.67 ms).
    EXPECT_NEAR(t.ms, 3 + 4 - 128 / 48.0, 0.01);
    EXPECT_EQ((std::vector<long long>{t.arrival, t.note, t.underrun}),
              (std::vector<long long>{arrival, 62, 0}));
    // Across an underrun: flagged.
    queueevent({NOTE_ON, 0, 64, 100, arrival});
    writes = {0, -EPIPE};
    for (int i = 0; i < 3; i++)
        outputstep();
    ASSERT_TRUE(taketimed(t));
    EXPECT_TRUE(t.underrun);
    // A device without timestamps: said once, no figure.
    unstamped = true;
    queueevent({NOTE_ON, 0, 65, 100, arrival});
    CaptureStdout();
    outputstep();
    EXPECT_EQ(GetCapturedStdout(),
              "sensormidi-synth: hw:9 gives no timestamps: the notes' latency is not measured\n");
    EXPECT_FALSE(taketimed(t));
}

// Only a running stream's status times a note (a stopped one's delay is 0); a figure below
// 0 is a clock's fault, said once and left out.
TEST(Output, FiguresOnlyFromARunningStream) {
    synthstart();
    queueevent({NOTE_ON, 0, 62, 100, synthms * 1000000});
    avails = {32}; // too little for the card to start
    outputstep();
    Timed t;
    EXPECT_FALSE(taketimed(t));
    outputstep(); // the rest of the buffer: it starts
    ASSERT_TRUE(taketimed(t));
    EXPECT_GE(t.ms, 0);
    long before = badfigures;
    CaptureStdout();
    for (int note : {64, 65}) {
        queueevent({NOTE_ON, 0, static_cast<unsigned char>(note), 100, (synthms + 50) * 1000000});
        stepuntil(synthms + 10);
    }
    std::string said = GetCapturedStdout();
    EXPECT_EQ(said.rfind("sensormidi-synth: hw:9: a note timed -", 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(badfigures, before + 2);
    EXPECT_FALSE(taketimed(t));
}

// After a quiet stretch, auto tries the period below, at a moment when no voice sounds.
TEST(Output, AutoTriesLowerWhenNoVoiceSounds) {
    synthstart();
    climbstart("256 600000\n", synthms);
    writes = {-ENODEV}; // opened again at 256
    voices = 1;
    std::string said = rununtil(synthms + 11 * 60000);
    EXPECT_EQ(settings.period, 256) << said;
    voices = 0;
    said = rununtil(synthms + 100);
    EXPECT_EQ(said, "sensormidi-synth: no underrun for 10 min at 256 frames: now 128 frames, "
                    "8.0 ms\nsensormidi-synth: playing through hw:9, buffer 3 x 128 frames at "
                    "48000 Hz = 8.0 ms\n");
    EXPECT_EQ(called("notes off"), 0);
}

TEST(Latency, FiguresLeaveOutTheNotesAcrossAnUnderrun) {
    std::vector<Timed> notes;
    for (int ms : {5, 9, 1, 7, 3, 100, 2, 8, 4, 6})
        notes.push_back({0, 60, 1.0 * ms, ms == 100});
    Figures f = figures(notes);
    EXPECT_EQ((std::vector<double>{1.0 * f.count, f.median, f.p90, f.worst}),
              (std::vector<double>{9, 5, 9, 9}));
    EXPECT_EQ(formatnotes({{12345678901, 60, 4.5, true}}), "12.345678901 60 4.50 1\n");
}

} // namespace

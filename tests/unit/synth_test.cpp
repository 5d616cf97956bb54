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
#include <map>

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
        {"underrun", &writes, {-EPIPE}, {"wait", "render 64", "write -32", "prepare"}, 1, 0, true},
        {"underrun, no prepare", &prepares, {-EIO}, {}, 1, 1, false},
        {"suspended", &waits, {-ESTRPIPE}, {"wait", "resume"}, 0, 0, true},
        {"suspended, no resume", &resumes, {-ENOSYS}, {"wait", "resume", "prepare"}, 0, 0, true},
        {"unplugged", &writes, {-ENODEV}, {"wait", "render 64", "write -19", "close"}, 0, 1, false},
        {"bad state", &waits, {-EBADFD}, {"wait", "close"}, 0, 1, false},
        {"stalled stream", &avails, {-EIO}, {"wait", "close"}, 0, 1, false},
        {"no room yet", &writes, {-EAGAIN}, {"wait", "render 64", "write -11"}, 0, 0, true},
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

TEST(Output, AStreamThatTakesNothingIsReopenedAfterItsBound) {
    synthstart();
    // 3 x 64 frames is 4 ms: the bound is a second. Each wait runs out (4 ms) with no room.
    waits = {0, 0, 0, 0, 0};
    avails = {0, 0, 0, 0, 0};
    for (int i = 0; i < 3; i++) {
        synthms += 300;
        outputstep();
    }
    EXPECT_FALSE(playing.empty());
    CaptureStdout();
    synthms += 300;
    outputstep();
    EXPECT_EQ(GetCapturedStdout(),
              "sensormidi-synth: hw:9: no frames taken for 1000 ms; looking for an output again\n");
    EXPECT_EQ(reopens, 1);
}

TEST(Output, ABusyOrMissingDeviceIsWaitedForAndOpenedOnTheNextEvent) {
    synthstart();
    writes = {-ENODEV};
    CaptureStdout();
    outputstep();
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
    EXPECT_EQ(GetCapturedStdout(),
              "sensormidi-synth: playing through hw:9, buffer 3 x 64 frames at "
              "48000 Hz = 4.0 ms\n");
    EXPECT_EQ(playing, "hw:9");
}

// systemd hears that sound flows only from the loop, and only while frames are taken or
// while it waits on purpose: a loop that hangs is restarted by the watchdog.
TEST(Output, TheWatchdogIsFedOnlyWhileFramesAdvanceOrItWaits) {
    auto fed = [] {
        return std::count_if(synthcalls.begin(), synthcalls.end(), [](const std::string &call) {
            return call.find("WATCHDOG=1") != std::string::npos;
        });
    };
    synthstart();
    synthms += 1000;
    outputstep();
    EXPECT_EQ(fed(), 1);
    // Frames taken again within the second: not yet.
    outputstep();
    EXPECT_EQ(fed(), 1);
    synthcalls.clear();
    writes = {0, 0, 0};
    for (int i = 0; i < 3; i++) {
        synthms += 300;
        outputstep();
    }
    EXPECT_EQ(fed(), 0);
    // Waiting for a device that is gone: fed at each look.
    opens = {-ENODEV, -ENODEV};
    writes = {-ENODEV};
    CaptureStdout();
    outputstep();
    cardschanged = true;
    outputstep();
    cardschanged = true;
    outputstep();
    GetCapturedStdout();
    EXPECT_EQ(fed(), 2);
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
        climbopened(0);
        std::vector<bool> climbs;
        for (long long at : c.at)
            climbs.push_back(climbunderrun(at));
        EXPECT_EQ(climbs, c.climbs);
    }
    EXPECT_EQ(climbstart(""), AUTO_FIRST);
    EXPECT_EQ(climbstart("256\n"), 256);
    EXPECT_EQ(climbstart("4096\n"), AUTO_FIRST);
}

TEST(Output, AutoClimbsOnTheThirdUnderrunWithoutEndingTheNotes) {
    synthstart();
    ASSERT_TRUE(settings.autoperiod);
    synthms += 6000; // past the grace after the open
    outputstep();
    writes = {-EPIPE, -EPIPE, -EPIPE};
    CaptureStdout();
    for (int i = 0; i < 3; i++)
        outputstep();
    outputstep();
    EXPECT_EQ(GetCapturedStdout(), "sensormidi-synth: 3 underruns in 60 s at 64 frames: now 128 "
                                   "frames, 8.0 ms\nsensormidi-synth: playing through hw:9, buffer "
                                   "3 x 128 frames at 48000 Hz = 8.0 ms\n");
    EXPECT_EQ(std::count(synthcalls.begin(), synthcalls.end(), "notes off"), 0);
    EXPECT_EQ(reopens, 0);
    // At the ceiling it stays, and prepares as for any underrun.
    settings.period = AUTO_LAST;
    cardschanged = true;
    writes = {-ENODEV};
    CaptureStdout();
    outputstep();
    outputstep();
    synthms += 6000;
    outputstep();
    writes = {-EPIPE, -EPIPE, -EPIPE};
    for (int i = 0; i < 3; i++)
        outputstep();
    GetCapturedStdout();
    EXPECT_EQ(settings.period, AUTO_LAST);
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

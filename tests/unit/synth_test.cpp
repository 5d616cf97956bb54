#include "synthstandin.h"

#include "synth/events.h"
#include "synth/output.h"
#include "synth/programs.h"
#include "synth/settings.h"

#include <gtest/gtest.h>

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
         "sensormidi-synth: PERIOD_SIZE=0: not a whole number from 64 to 8192"},
        {{{"PERIOD_SIZE", "64 "}},
         "sensormidi-synth: PERIOD_SIZE=64 : not a whole number from 64 to 8192"},
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
    ASSERT_TRUE(fromseq(seq, e));
    EXPECT_EQ((std::vector<int>{e.kind, e.channel, e.value}), (std::vector<int>{PITCH_BEND, 3, 0}));
    seq.type = SND_SEQ_EVENT_NOTEON, seq.data.note = {0, 62, 100, 0, 0};
    ASSERT_TRUE(fromseq(seq, e));
    EXPECT_EQ((std::vector<int>{e.kind, e.channel, e.key, e.value}),
              (std::vector<int>{NOTE_ON, 0, 62, 100}));
    seq.type = SND_SEQ_EVENT_CONTROLLER, seq.data.control.param = 300;
    EXPECT_FALSE(fromseq(seq, e));
    seq.type = SND_SEQ_EVENT_CLOCK;
    EXPECT_FALSE(fromseq(seq, e));
}

TEST(Events, AFloodIsCountedNotQueued) {
    long before = dropped;
    int queued = 0;
    while (queueevent({NOTE_ON, 0, 60, 100}))
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
    // 3 x 64 frames is 4 ms: the bound is a second.
    waits = {0, 0, 0, 0, 0};
    for (int i = 0; i < 3; i++)
        outputstep();
    EXPECT_FALSE(playing.empty());
    CaptureStdout();
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

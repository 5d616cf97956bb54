#include "midirecord.h"

#include "midi/midi.h"
#include "sound/sound.h"

#include <cerrno>
#include <gtest/gtest.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using calllist = std::vector<std::string>;

namespace {

TEST(MidiInit, OpensCardOneWithoutModeThenSwitchesToNonBlocking) {
    freshstart();
    midiOutHandle = nullptr;
    CaptureStdout();
    midi_init();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(calls, (calllist{"open hw:1,0,0 0", "nonblock 1"}));
    EXPECT_NE(midiOutHandle, nullptr);
    EXPECT_EQ(err, 0);
}

// Starts with the output missing, as when no synth is on card 1.
void startwithoutoutput() {
    freshstart();
    midiOutHandle = nullptr;
    openresult = -ENOENT;
    CaptureStdout();
    midi_init();
    EXPECT_EQ(GetCapturedStdout(), "Can't open MIDI output: No such file or directory\n");
    EXPECT_EQ(midiOutHandle, nullptr);
    EXPECT_EQ(err, -ENOENT);
    calls.clear();
}

TEST(MissingOutput, WritesNothingAndRetriesAtMostOnceASecond) {
    startwithoutoutput();
    CaptureStdout();
    CaptureStderr();
    process_sound(300, 400, 0); // too soon: no try, nothing written
    fakems += 999;
    process_sound(200, 400, 0); // still too soon
    EXPECT_TRUE(calls.empty());
    fakems += 1;
    process_sound(100, 400, 0); // a second has passed: one try, which fails quietly
    EXPECT_EQ(calls, (calllist{"open hw:1,0,0 0"}));
    EXPECT_EQ(GetCapturedStdout(), "69\n65\n62\n");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_GE(quietset, 1);
    // The sound state goes on as if the notes had sounded.
    EXPECT_EQ(current, 62);
    EXPECT_EQ(curvol, 100);
}

TEST(MissingOutput, NoRetryWhenThereIsNothingToSend) {
    startwithoutoutput();
    curvol = 0;
    fakems += 5000;
    process_sound(300, 10, 0); // already silent
    process_sound(74, 400, 0); // gated
    EXPECT_TRUE(calls.empty());
}

TEST(MissingOutput, ASynthSwitchedOnLaterIsUsed) {
    startwithoutoutput();
    openresult = 0;
    fakems += 1000;
    CaptureStdout();
    CaptureStderr();
    process_sound(300, 400, 0);
    EXPECT_EQ(GetCapturedStdout(), "69\n");
    EXPECT_EQ(GetCapturedStderr(), "hw:1,0,0: MIDI output open\n");
    EXPECT_EQ(calls, (calllist{"open hw:1,0,0 0", "nonblock 1", "write 80 00 00", "drain",
                               "write 90 45 64", "drain"}));
}

TEST(MissingOutput, InstrumentChangesStillCountAndPause) {
    startwithoutoutput();
    process_sound(0, 0, 1);
    EXPECT_EQ(calls, (calllist{"pause"}));
    EXPECT_EQ(toneptr, 1);
}

std::string lostline(long result) {
    return "hw:1,0,0: MIDI output lost: " + std::string(snd_strerror(static_cast<int>(result))) +
           "\n";
}

class LostOutput : public testing::TestWithParam<long> {};
TEST_P(LostOutput, IsReopenedAtOnceAndTheMessageSentAgain) {
    freshstart();
    failures = {GetParam()};
    CaptureStdout();
    CaptureStderr();
    process_sound(300, 400, 0);
    EXPECT_EQ(GetCapturedStdout(), "69\n");
    EXPECT_EQ(GetCapturedStderr(), lostline(GetParam()) + "hw:1,0,0: MIDI output open\n");
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "close", "open hw:1,0,0 0", "nonblock 1",
                               "write 80 00 00", "drain", "write 90 45 64", "drain"}));
    EXPECT_GE(quietset, 1);
}

TEST_P(LostOutput, StillGoneIsTriedAgainAtMostOnceASecond) {
    freshstart();
    failures = {GetParam()};
    openresult = -ENOENT;
    CaptureStdout();
    CaptureStderr();
    process_sound(300, 400, 0);
    process_sound(100, 400, 0); // within the second: skipped
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "close", "open hw:1,0,0 0"}));
    EXPECT_EQ(midiOutHandle, nullptr);
    EXPECT_GE(quietset, 1); // alsa-lib's own complaint about the missing card
    openresult = 0;
    fakems += 1000;
    process_sound(215, 400, 0);
    EXPECT_EQ(GetCapturedStdout(), "69\n62\n67\n");
    EXPECT_EQ(GetCapturedStderr(), lostline(GetParam()) + "hw:1,0,0: MIDI output open\n");
    calllist expected{"write 80 00 00",  "close",          "open hw:1,0,0 0",
                      "open hw:1,0,0 0", "nonblock 1",     "write 80 3e 00",
                      "drain",           "write 90 43 64", "drain"};
    EXPECT_EQ(calls, expected);
}
INSTANTIATE_TEST_SUITE_P(GoneErrors, LostOutput, testing::Values(-ENODEV, -EBADFD, -EIO, -ENXIO));

TEST(LostOutput, OneTryAtOnceNeverALoop) {
    freshstart();
    failures = {-ENODEV, -ENODEV};
    CaptureStderr();
    playtone(midiOutHandle, 64, 40);
    EXPECT_EQ(GetCapturedStderr(),
              lostline(-ENODEV) + "hw:1,0,0: MIDI output open\n" + lostline(-ENODEV));
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "close", "open hw:1,0,0 0", "nonblock 1",
                               "write 80 00 00", "close"}));
    EXPECT_EQ(midiOutHandle, nullptr);
}

TEST(LostOutput, AFailedDrainCountsAsWell) {
    freshstart();
    failures = {0, -ENODEV};
    CaptureStderr();
    playtone(midiOutHandle, 64, 40);
    GetCapturedStderr();
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "drain", "close", "open hw:1,0,0 0", "nonblock 1",
                               "write 80 00 00", "drain", "write 90 40 28", "drain"}));
    EXPECT_EQ(curvol, 40);
}

TEST(BusyOutput, AFullPortLosesTheBytesButStaysOpen) {
    freshstart();
    failures = {-EAGAIN, 0, -EAGAIN};
    CaptureStderr();
    playtone(midiOutHandle, 64, 40);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "drain", "write 90 40 28", "drain"}));
    EXPECT_NE(midiOutHandle, nullptr);
}

TEST(NoteOff, GoesToTheCurrentNoteAndIsDrained) {
    freshstart();
    current = 71;
    noteoff();
    EXPECT_EQ(calls, (calllist{"write 80 47 00", "drain"}));
}

} // namespace

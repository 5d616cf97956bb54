#include "midirecord.h"

#include "midi/midi.h"
#include "sound/sound.h"

#include <gtest/gtest.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using calllist = std::vector<std::string>;

namespace {

struct edge {
    int reading;
    int expected;
};

void PrintTo(const edge &e, std::ostream *os) {
    *os << e.reading << " -> " << e.expected;
}

class VelocityBands : public testing::TestWithParam<edge> {};
TEST_P(VelocityBands, EdgesMapToTheTable) {
    EXPECT_EQ(velocity(GetParam().reading), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Edges, VelocityBands,
                         testing::Values(edge{-50, 0}, edge{90, 0}, edge{91, 30}, edge{110, 30},
                                         edge{111, 40}, edge{150, 40}, edge{151, 60}, edge{200, 60},
                                         edge{201, 55}, edge{250, 55}, edge{251, 70}, edge{300, 70},
                                         edge{301, 100}, edge{999, 100}));

class NoteBands : public testing::TestWithParam<edge> {};
TEST_P(NoteBands, EdgesMapToTheScale) {
    EXPECT_EQ(note(GetParam().reading), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Edges, NoteBands,
                         testing::Values(edge{-10, 60}, edge{69, 60}, edge{70, 62}, edge{119, 62},
                                         edge{120, 64}, edge{159, 64}, edge{160, 65}, edge{209, 65},
                                         edge{210, 67}, edge{259, 67}, edge{260, 69}, edge{309, 69},
                                         edge{310, 71}, edge{359, 71}, edge{360, 72},
                                         edge{5000, 72}));

// Runs one reading and returns what it printed.
std::string play(int pitch, int volume, int sw) {
    CaptureStdout();
    process_sound(pitch, volume, sw);
    return GetCapturedStdout();
}

TEST(ProcessSound, TypicalReadingPlaysTheNewNote) {
    freshstart();
    current = 62;
    curmess = 110;
    EXPECT_EQ(play(215, 180, 0), "67\n");
    EXPECT_EQ(calls, (calllist{"write 80 3e 00", "drain", "write 90 43 3c", "drain"}));
    EXPECT_EQ(current, 67);
    EXPECT_EQ(curvol, 60);
    EXPECT_EQ(curmess, 215);
}

TEST(ProcessSound, FirstNoteSwitchesOffNoteZero) {
    freshstart();
    EXPECT_EQ(play(300, 400, 0), "69\n");
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "drain", "write 90 45 64", "drain"}));
}

struct gatecase {
    int pitch;
    bool plays;
};

void PrintTo(const gatecase &g, std::ostream *os) {
    *os << g.pitch;
}

class MovementGate : public testing::TestWithParam<gatecase> {};
TEST_P(MovementGate, NeedsAMoveOfFifteen) {
    freshstart();
    current = 65;
    curvol = 40;
    curmess = 200;
    std::string printed = play(GetParam().pitch, 180, 0);
    if (GetParam().plays) {
        int expected = note(GetParam().pitch);
        EXPECT_EQ(printed, std::to_string(expected) + "\n");
        EXPECT_EQ(calls.size(), 4u);
        EXPECT_EQ(curmess, GetParam().pitch);
        EXPECT_EQ(curvol, 60);
    } else {
        EXPECT_EQ(printed, "");
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(curmess, 200);
        EXPECT_EQ(curvol, 40);
    }
}
INSTANTIATE_TEST_SUITE_P(Edges, MovementGate,
                         testing::Values(gatecase{186, false}, gatecase{214, false},
                                         gatecase{200, false}, gatecase{185, true},
                                         gatecase{215, true}));

TEST(ProcessSound, NewVelocityOnTheSameNoteIsGatedToo) {
    freshstart();
    current = 67;
    curvol = 60;
    curmess = 215;
    EXPECT_EQ(play(225, 400, 0), "");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(curvol, 60);

    EXPECT_EQ(play(235, 400, 0), "67\n");
    EXPECT_EQ(calls, (calllist{"write 80 43 00", "drain", "write 90 43 64", "drain"}));
    EXPECT_EQ(curvol, 100);
}

TEST(ProcessSound, SameNoteAndVelocityIsNoChangeEvenFarAway) {
    freshstart();
    current = 67;
    curvol = 60;
    curmess = 100;
    EXPECT_EQ(play(250, 180, 0), "");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(curmess, 100);
}

TEST(ProcessSound, LowVolumeSilencesOnceAndBypassesTheGate) {
    freshstart();
    current = 64;
    curmess = 130;
    EXPECT_EQ(play(131, 90, 0), "");
    EXPECT_EQ(calls, (calllist{"write 80 40 00", "drain", "write 90 3c 00", "drain"}));
    EXPECT_EQ(curvol, 0);
    EXPECT_EQ(current, 64);
    EXPECT_EQ(curmess, 130);

    calls.clear();
    play(300, 0, 0);
    play(131, -5, 0);
    EXPECT_TRUE(calls.empty());
}

TEST(ProcessSound, SoundReturnsAfterSilenceOnlyPastTheGate) {
    freshstart();
    current = 64;
    curvol = 0;
    curmess = 130;
    EXPECT_EQ(play(140, 180, 0), "");
    EXPECT_EQ(play(145, 180, 0), "64\n");
    EXPECT_EQ(calls, (calllist{"write 80 40 00", "drain", "write 90 40 3c", "drain"}));
}

TEST(ProcessSound, InstrumentChangesCycleAndPause) {
    freshstart();
    current = 65;
    const int programs[] = {0x65, 0x42, 0x68, 0x54, 0x65};
    for (int program : programs) {
        calls.clear();
        EXPECT_EQ(play(300, 400, 1), "");
        char change[16];
        snprintf(change, sizeof change, "write c0 %02x", program);
        EXPECT_EQ(calls, (calllist{"write 80 41 00", "drain", change, "pause"}));
    }
    EXPECT_EQ(current, 65);
    EXPECT_EQ(curvol, 100);
    EXPECT_EQ(curmess, 74);
}

TEST(ProcessSound, AnyNonzeroSwitchChangesTheInstrument) {
    freshstart();
    play(0, 0, -1);
    play(0, 0, 999);
    EXPECT_EQ(calls, (calllist{"write 80 00 00", "drain", "write c0 65", "pause", "write 80 00 00",
                               "drain", "write c0 42", "pause"}));
}

TEST(ProcessSound, AfterAChangeTheSameNoteStaysQuiet) {
    freshstart();
    current = 67;
    curvol = 60;
    curmess = 215;
    play(0, 0, 1);
    calls.clear();
    EXPECT_EQ(play(240, 180, 0), "");
    EXPECT_TRUE(calls.empty());
}

TEST(ProcessSound, ExtremeReadingsDoNotOverflowTheGate) {
    freshstart();
    curmess = 74;
    EXPECT_EQ(play(INT_MIN, 400, 0), "60\n");
    EXPECT_EQ(play(INT_MAX, 400, 0), "72\n");
}

} // namespace

#include "midirecord.h"

#include "midi/midi.h"
#include "sound/sound.h"

#include <gtest/gtest.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using calllist = std::vector<std::string>;

namespace {

// One edge of a band table: `map` turns `reading` into `expected`.
struct edge {
    const char *table;
    int (*map)(int);
    int reading;
    int expected;
};

void PrintTo(const edge &e, std::ostream *os) {
    *os << e.table << " " << e.reading << " -> " << e.expected;
}

edge vel(int reading, int expected) {
    return {"velocity", velocity, reading, expected};
}
edge nt(int reading, int expected) {
    return {"note", note, reading, expected};
}

class Bands : public testing::TestWithParam<edge> {};
TEST_P(Bands, EdgesMapToTheTables) {
    EXPECT_EQ(GetParam().map(GetParam().reading), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Edges, Bands,
                         testing::Values(vel(-50, 0), vel(90, 0), vel(91, 30), vel(110, 30),
                                         vel(111, 40), vel(150, 40), vel(151, 60), vel(200, 60),
                                         vel(201, 55), vel(250, 55), vel(251, 70), vel(300, 70),
                                         vel(301, 100), vel(999, 100), nt(-10, 60), nt(69, 60),
                                         nt(70, 62), nt(119, 62), nt(120, 64), nt(159, 64),
                                         nt(160, 65), nt(209, 65), nt(210, 67), nt(259, 67),
                                         nt(260, 69), nt(309, 69), nt(310, 71), nt(359, 71),
                                         nt(360, 72), nt(5000, 72)));

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

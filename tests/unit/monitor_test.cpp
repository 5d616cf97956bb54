// sensormidi-monitor's rules: its live line and summary for a recorded session, the
// constants it suggests (fed back through the sketch's own scaling), and the port's holder.
#include "sensor/holder.h"
#include "sensor/monitor.h"
#include "sound/sound.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

namespace {

session fed(session s, const std::string &bytes) {
    for (unsigned char c : bytes)
        monitorbyte(s, c);
    return s;
}

// A hand over the sensor, line by line as the port gives them (CR turned into a newline),
// and the live line after each.
TEST(Monitor, ARecordedSessionLiveAndSummed) {
    struct {
        const char *bytes;
        std::string line;
    } session_[] = {
        {"0|0\n\n", "no line yet (1 unread)"}, // the port opened mid-line
        {"215,180|0\n\n", "pitch 215: note 67 (210-259) | volume 180: velocity 60 | switch 0, 0 "
                          "presses | 1 lines a second, 1 unread | seen: pitch 215-215, volume "
                          "180-180"},
        {"30,50|0\n\n", "pitch 30: note 60 (69 and below) | volume 50: silent | switch 0, 0 "
                        "presses | 2 lines a second, 1 unread | seen: pitch 30-215, volume 50-180"},
        {"300,250|1\n\n", "pitch 300: note 69 (260-309) | volume 250: velocity 55 | switch 1, 1 "
                          "presses | 3 lines a second, 1 unread | seen: pitch 30-300, volume "
                          "50-250"},
        {"12345,7|0\n\n", "pitch 300: note 69 (260-309) | volume 250: velocity 55 | switch 0, 1 "
                          "presses | 3 lines a second, 2 unread | seen: pitch 30-300, volume "
                          "50-250"},
    };
    session s{};
    for (auto &step : session_) {
        s = fed(s, step.bytes);
        EXPECT_EQ(monitorline(s, s.lines, 1), step.line) << step.bytes;
    }
    EXPECT_EQ(monitorsummary(s, 2, scaling()),
              "3 lines in 2 s (2 a second), 2 unread; 1 presses.\n"
              "pitch 30 to 300: notes 60 to 69, of 60 to 72.\n"
              "volume 50 to 250: silent to velocity 55, of silent to velocity 100.\n"
              "To stretch what the hand reached over the whole, put these in the sketch "
              "(firmware/sensor/sensor.ino) and flash it again:\n"
              "const long PITCH_LOW = 77;\nconst long PITCH_HIGH = 767;\n"
              "const long VOLUME_LOW = 146;\nconst long VOLUME_HIGH = 731;\n");
    EXPECT_EQ(monitorsummary(fed(session{}, "10,10|0\n\n380,320|0\n\n"), 1, scaling()),
              "2 lines in 1 s (2 a second), 0 unread; 0 presses.\n"
              "pitch 10 to 380: notes 60 to 72, of 60 to 72.\n"
              "volume 10 to 320: silent to velocity 100, of silent to velocity 100.\n"
              "The hand reached the whole of both.\n");
}

// A line is read only as the sketch sends it: three values of one to three digits.
TEST(Monitor, OnlyTheSketchsThreeValuesAreALine) {
    struct {
        const char *bytes;
        long lines;
    } cases[] = {{"7,7|0\n\n", 1},    {"999,999|999\n\n", 1}, {"1234,7|0\n\n", 0},
                 {"7,1234|0\n\n", 0}, {"7,7|1234\n\n", 0},    {"7,7|0x\n\n", 0},
                 {",7|0\n\n", 0},     {"7,7,0\n\n", 0}};
    for (auto &c : cases)
        EXPECT_EQ(fed(session{}, c.bytes).lines, c.lines) << c.bytes;
}

// The sketch's constants: the first that reads whole, a long's range kept.
TEST(Monitor, TheSketchsConstantsReadWhole) {
    scaling read = readsketch("const long PITCH_LOW = 99999999999999999999;\n"
                              "const long PITCH_LOW = -5;\nconst long PITCH_HIGH = 7x;\n"
                              "const long VOLUME_RANGE = 300;\n");
    EXPECT_EQ(read.pitchlow, -5);
    EXPECT_EQ(read.pitchhigh, 1023);
    EXPECT_EQ(read.volumerange, 300);
}

// The sketch's scaling, as its loop() does it: Arduino's map(), then held in range.
long sketchscaled(long raw, long low, long high, long range) {
    return std::clamp((raw - low) * range / (high - low), 0L, range);
}

// The constants suggested for a hand's raw range, under the sketch's constants of now: the
// hand's ends, scaled by them, reach the lowest and highest note, silence and the loudest.
TEST(Monitor, TheConstantsSuggestedStretchTheHandOverTheWhole) {
    struct {
        const char *name;
        long low, high; // the sketch's constants now (both inputs alike)
        long from, to;  // the hand's raw readings at the ends of its reach
    } cases[] = {
        {"as shipped, a third of the way", 0, 1023, 300, 640},
        {"as shipped, a narrow reach", 0, 1023, 480, 560},
        {"as shipped, the top but not the bottom", 0, 1023, 600, 1023},
        {"a sensor that reads the other way round", 1023, 0, 200, 700},
        {"tuned before, for a wider hand", 200, 800, 350, 600},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        scaling now{c.low, c.high, c.low, c.high, 400, 350};
        session s{};
        for (long raw : {c.from, c.to})
            s = fed(s, std::to_string(sketchscaled(raw, c.low, c.high, 400)) + "," +
                           std::to_string(sketchscaled(raw, c.low, c.high, 350)) + "|0\n\n");
        scaling then = readsketch(monitorsummary(s, 1, now));
        ASSERT_NE(then.pitchlow, now.pitchlow);
        std::vector<int> notes, velocities;
        for (long raw : {c.from, c.to}) {
            notes.push_back(note(static_cast<int>(
                sketchscaled(raw, then.pitchlow, then.pitchhigh, then.pitchrange))));
            velocities.push_back(velocity(static_cast<int>(
                sketchscaled(raw, then.volumelow, then.volumehigh, then.volumerange))));
        }
        std::sort(notes.begin(), notes.end());
        std::sort(velocities.begin(), velocities.end());
        EXPECT_EQ(notes, (std::vector<int>{60, 72}));
        EXPECT_EQ(velocities, (std::vector<int>{0, 100}));
    }
}

// The port held: the holder named, so that the monitor can say what to stop.
TEST(Monitor, TheHolderOfAPortNamed) {
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    char path[64];
    ASSERT_EQ(ptsname_r(master, path, sizeof path), 0);
    EXPECT_NE(holders(path).find("(pid " + std::to_string(getpid()) + ")"), std::string::npos)
        << holders(path);
    close(slave);
    EXPECT_EQ(holders(path), "");
    close(master);
}

} // namespace

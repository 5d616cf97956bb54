// The reading loop on a pseudo-terminal, which runs the same line discipline
// as the USB serial port.
#include "midirecord.h"

#include "sensor/port.h"
#include "sound/sound.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using calllist = std::vector<std::string>;

namespace {

class Port : public testing::Test {
  protected:
    int master = -1;

    void SetUp() override {
        freshstart();
        int slave;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        fd = slave;
        setupport();
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        if (master >= 0) close(master);
        fd = -1;
    }
    void type(const std::string &bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Steps until the reader has taken `count` bytes; each read waits for its line.
    void take(reader &r, size_t count) {
        for (size_t got = 0; got < count; got += static_cast<size_t>(n)) {
            portstep(r);
            ASSERT_GT(n, 0);
        }
    }
};

TEST_F(Port, PreparedSettingsAreApplied) {
    termios now{};
    ASSERT_EQ(tcgetattr(fd, &now), 0);
    EXPECT_TRUE(now.c_lflag & ICANON);
    EXPECT_FALSE(now.c_lflag & (ECHO | ECHONL | ISIG));
    EXPECT_TRUE(now.c_iflag & ICRNL);
    EXPECT_TRUE(now.c_iflag & IGNPAR);
    EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B9600));
    EXPECT_EQ(newtp.c_cflag, 0x800008BDu);
    EXPECT_EQ(newtp.c_iflag, 0x104u);
    EXPECT_EQ(newtp.c_lflag, 2u);
    EXPECT_EQ(newtp.c_oflag, 0u);
    for (cc_t c : newtp.c_cc)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(Port, CrLfLinePlaysAndNothingIsEchoed) {
    reader r{};
    current = 62;
    curmess = 110;
    type("215,180|0\r\n");
    CaptureStdout();
    take(r, 11); // the CR arrives as a second newline
    EXPECT_EQ(GetCapturedStdout(), "67\n");
    EXPECT_EQ(calls, (calllist{"write 80 3e 00", "drain", "write 90 43 3c", "drain"}));
    EXPECT_EQ(n, 1);

    char echoed;
    fcntl(master, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(read(master, &echoed, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(Port, LfOnlyLinesKeepEveryDigit) {
    reader r{};
    type("215,180|0\n360,400|0\n");
    CaptureStdout();
    take(r, 20);
    EXPECT_EQ(GetCapturedStdout(), "67\n72\n");
}

TEST_F(Port, GarbageAndLongFieldsAreHarmless) {
    reader r{};
    std::string junk = std::string("\x01\xff\x7f\x1b", 4) + std::string(3000, '7') + ",400|0\r\n";
    type(junk);
    CaptureStdout();
    take(r, junk.size());
    EXPECT_EQ(GetCapturedStdout(), "60\n"); // the pitch field is "\x01\xff\x7f": 0
    EXPECT_EQ(r.pos, 0);
}

TEST_F(Port, HangupClosesThePortAndReportsOnce) {
    reader r{};
    type("215,180|0\r\n");
    CaptureStdout();
    take(r, 11);
    GetCapturedStdout();
    close(master);
    master = -1;
    CaptureStderr();
    portstep(r);
    std::string said = GetCapturedStderr();
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(said == "/dev/ttyACM0: sensor lost: Input/output error\n" ||
                said == "/dev/ttyACM0: sensor lost: end of file\n")
        << said;
    EXPECT_EQ(current, 67); // the sound state outlives the connection
}

TEST(PortLoss, EndOfFileDropsTheHalfReadField) {
    freshstart();
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    ASSERT_EQ(write(pipefd[1], "215,18", 6), 6);
    close(pipefd[1]);
    fd = pipefd[0];
    reader r{};
    CaptureStderr();
    while (fd >= 0)
        portstep(r);
    EXPECT_EQ(GetCapturedStderr(), "/dev/ttyACM0: sensor lost: end of file\n");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(r.pitch, 215);
    EXPECT_EQ(r.pos, 0);
    EXPECT_STREQ(r.text, "");
}

} // namespace

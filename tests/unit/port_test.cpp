// The reading loop on a pseudo-terminal, which runs the same line discipline
// as the USB serial port.
#include "midirecord.h"

#include "sensor/port.h"
#include "sensor/stop.h"
#include "sound/sound.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using calllist = std::vector<std::string>;

namespace {

// The line settings the instrument reads the sensor with, as the tty holds them.
void expectprepared(int tty) {
    termios now{};
    ASSERT_EQ(tcgetattr(tty, &now), 0);
    EXPECT_EQ(now.c_lflag, static_cast<tcflag_t>(ICANON)); // no echo, no signals
    EXPECT_EQ(now.c_iflag, static_cast<tcflag_t>(IGNPAR | ICRNL));
    EXPECT_EQ(now.c_oflag, 0u);
    EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B9600));
    // No control characters: no ^C flushing, no ^D ending a read, no ^U erasing a line.
    for (cc_t c : now.c_cc)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(fcntl(tty, F_GETFL) & O_NONBLOCK, 0);
    // Held for itself. (qemu-user does not know the question: there a second reader's
    // refusal shows it.)
    int exclusive = 0;
    if (ioctl(tty, TIOCGEXCL, &exclusive) == 0)
        EXPECT_TRUE(exclusive);
    else
        EXPECT_TRUE(errno == ENOTTY || errno == ENOSYS) << std::strerror(errno);
}

// The errno of an open of `path` by a user without privileges (root opens an exclusive
// tty all the same), 0 when it opens.
int openedbyauser(const char *path) {
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        int tty = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
        _exit(tty >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WEXITSTATUS(status);
}

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

TEST_F(Port, PreparedSettingsAreAppliedOnEveryOpen) {
    expectprepared(fd);

    // A re-plugged sensor is a new device with the kernel's defaults.
    int master2, slave2;
    ASSERT_EQ(openpty(&master2, &slave2, nullptr, nullptr, nullptr), 0);
    int first = fd;
    fd = slave2;
    setupport();
    expectprepared(slave2);
    close(master2);
    close(slave2);
    fd = first;
}

// One reader at a time: while the instrument holds the port, another program's open is
// refused at once; once it lets go, the port opens again.
TEST_F(Port, ASecondReaderIsRefusedWhileTheInstrumentReads) {
    char path[64];
    ASSERT_EQ(ptsname_r(master, path, sizeof path), 0);
    ASSERT_EQ(chmod(path, 0666), 0);
    if (geteuid() != 0) GTEST_SKIP() << "a user without privileges is needed: run as root";
    EXPECT_EQ(openedbyauser(path), EBUSY);
    ASSERT_EQ(ioctl(fd, TIOCNXCL), 0); // as its close does
    EXPECT_EQ(openedbyauser(path), 0);
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
    int lost = fd;
    CaptureStderr();
    portstep(r);
    std::string said = GetCapturedStderr();
    EXPECT_EQ(fd, -1);
    // Held open, the old device would keep its name and the re-plugged one get another.
    EXPECT_EQ(fcntl(lost, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(said == "/dev/ttyACM0: sensor lost: Input/output error\n" ||
                said == "/dev/ttyACM0: sensor lost: end of file\n")
        << said;
    EXPECT_EQ(current, 67); // the sound state outlives the connection
}

TEST_F(Port, AnEmptyNonBlockingReadIsNoLoss) {
    // As when a stop signal switched the port to non-blocking just before the read.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    int open = fd;
    reader r{};
    CaptureStderr();
    portstep(r);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(fd, open);
}

void nothing(int) {}

TEST_F(Port, AnInterruptedReadIsNoLoss) {
    struct sigaction sa {};
    sa.sa_handler = nothing; // no SA_RESTART, like the stop handler
    sigaction(SIGUSR1, &sa, nullptr);
    std::atomic<bool> done{false};
    pthread_t reading = pthread_self();
    // Signals until one lands while the read waits; none is sent after it returns.
    std::thread poke([&] {
        while (!done) {
            pthread_kill(reading, SIGUSR1);
            usleep(1000);
        }
    });
    int open = fd;
    reader r{};
    CaptureStderr();
    portstep(r);
    done = true;
    poke.join();
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(fd, open);
}

TEST_F(Port, StopSignalMakesThePortNonBlocking) {
    catchsignals();
    struct sigaction installed {};
    sigaction(SIGTERM, nullptr, &installed);
    // A restarted read or drain would keep waiting instead of stopping.
    EXPECT_FALSE(installed.sa_flags & SA_RESTART);
    raise(SIGTERM);
    EXPECT_EQ(stopsig, SIGTERM);
    // A signal just before the blocking read must not leave it waiting.
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    stopsig = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        signal(sig, SIG_DFL);
}

TEST_F(Port, PendingStopSilencesRestoresThePortAndDiesOfTheSignal) {
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    oldtp = before;
    oldtp.c_lflag |= ECHO; // the settings found at open, as the stop must put them back
    current = 69;
    tellcalls = true;
    reader r{};
    EXPECT_EXIT(
        {
            // As the stop handler leaves it: a signal and a port that no longer blocks.
            stopsig = SIGTERM;
            fcntl(fd, F_SETFL, O_NONBLOCK);
            portstep(r);
        },
        testing::KilledBySignal(SIGTERM), "^write 80 45 00\ndrain\n$");
    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_TRUE(after.c_lflag & ECHO);
}

TEST(PortAbsent, WaitsASecondBeforeEachLook) {
    // The look would open and set up a real sensor on this machine.
    if (access("/dev/ttyACM0", F_OK) == 0) GTEST_SKIP() << "a real /dev/ttyACM0 is here";
    freshstart();
    fd = -1;
    reader r{};
    CaptureStderr();
    portstep(r);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(calls, (calllist{"pause"}));
    EXPECT_EQ(fd, -1);
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

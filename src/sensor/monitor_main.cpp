// sensormidi-monitor: the sensor's readings live, as the instrument would play them, and on
// Ctrl-C the range the hand reached, with the sketch's constants that would stretch it over
// the whole scale. It never plays, and takes the port only where nothing else holds it.
//
// Usage: sensormidi-monitor [--sketch FILE]   (the sketch whose constants to start from;
//                                              firmware/sensor/sensor.ino where it is)
#include "sensor/holder.h"
#include "sensor/monitor.h"
#include "sensor/port.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace {

const char PORT[] = "/dev/ttyACM0";
const char SKETCH[] = "firmware/sensor/sensor.ino";
constexpr int SHOW_MS = 100; // a terminal's line is redrawn this often; a pipe's, each second

volatile sig_atomic_t stop;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The port, or why not: who holds it and how to let go of it, or that there is none.
bool openport(int &port) {
    port = open(PORT, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (port >= 0) return true;
    if (errno == EBUSY) {
        std::string who = holders(PORT);
        std::fprintf(stderr,
                     "sensormidi-monitor: %s is held by %s, which reads the sensor: stop it for "
                     "a moment (sudo systemctl stop sensormidi), and start it again after "
                     "(sudo systemctl start sensormidi)\n",
                     PORT, who.empty() ? "another program (the sensormidi service?)" : who.c_str());
    } else {
        std::fprintf(stderr, "sensormidi-monitor: %s: %s\n", PORT, std::strerror(errno));
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    std::string sketch = SKETCH;
    if (argc == 3 && std::strcmp(argv[1], "--sketch") == 0) {
        sketch = argv[2];
    } else if (argc != 1) {
        std::fputs("usage: sensormidi-monitor [--sketch FILE]\n", stderr);
        return 2;
    }
    std::ifstream file(sketch);
    std::stringstream text;
    text << file.rdbuf();
    if (!file && argc == 3) {
        std::fprintf(stderr, "sensormidi-monitor: %s: %s\n", sketch.c_str(), std::strerror(errno));
        return 2;
    }
    scaling now = readsketch(text.str());
    if (!file)
        std::printf("sensormidi-monitor: no sketch at %s: its constants as shipped are taken "
                    "(--sketch FILE names yours)\n",
                    sketch.c_str());

    if (!openport(fd)) return 1;
    setupport(); // the instrument's own settings, and the port held as it holds it
    struct sigaction on {};
    on.sa_handler = [](int) { stop = 1; };
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &on, nullptr);

    bool terminal = isatty(STDOUT_FILENO);
    auto began = std::chrono::steady_clock::now(), shown = began;
    std::deque<std::chrono::steady_clock::time_point> recent; // lines of the last second
    session s{};
    bool lost = false;
    while (!stop && !lost) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, SHOW_MS);
        unsigned char bytes[256];
        ssize_t got = p.revents ? read(fd, bytes, sizeof bytes) : -1;
        if (got == 0 || (got < 0 && p.revents && errno != EINTR && errno != EAGAIN)) lost = true;
        auto at = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < got; i++)
            if (monitorbyte(s, bytes[i])) recent.push_back(at);
        while (!recent.empty() && seconds(recent.front()) > 1)
            recent.pop_front();
        if (seconds(shown) * 1000 < (terminal ? SHOW_MS : 1000)) continue;
        shown = at;
        std::string line = monitorline(s, static_cast<long>(recent.size()), 1);
        std::printf(terminal ? "\r%s\033[K" : "%s\n", line.c_str());
        std::fflush(stdout);
    }
    tcsetattr(fd, TCSANOW, &oldtp);
    if (terminal) std::printf("\n");
    if (lost) std::printf("sensormidi-monitor: %s: the sensor went away\n", PORT);
    std::printf("%s", monitorsummary(s, seconds(began), now).c_str());
    return lost ? 1 : 0;
}

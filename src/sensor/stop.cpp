// Clean stop. The handler only notes the signal; the reading loop looks at
// it after each blocking call, silences the sounding note, puts the port's
// settings back and then dies of the same signal, so whoever started the
// instrument sees how it ended. A second signal while stopping ends it at once.
#include "sensor/stop.h"

#include "midi/midi.h"
#include "sensor/port.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

volatile sig_atomic_t stopsig = 0;

static const int STOPSIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static void onstop(int sig) {
    int saved = errno;
    stopsig = sig;
    // A signal just before the blocking read would leave it waiting for the
    // next byte; non-blocking, that read returns at once instead.
    if (fd >= 0) fcntl(fd, F_SETFL, O_NONBLOCK);
    errno = saved;
}

void catchsignals() {
    struct sigaction sa {};
    sa.sa_handler = onstop;
    // No SA_RESTART: the read, a drain or a pause must return to the loop.
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : STOPSIGNALS)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : STOPSIGNALS)
        sigaction(sig, &sa, nullptr);
    // A closed standard output must not stop the instrument.
    signal(SIGPIPE, SIG_IGN);
}

void stopnow(int sig) {
    // From here any stop signal ends the program at once, should the drain hang.
    for (int s : STOPSIGNALS)
        signal(s, SIG_DFL);
    noteoff();
    if (fd >= 0) tcsetattr(fd, TCSANOW, &oldtp);
    raise(sig);
    _exit(128 + sig); // only if the signal could not end it
}

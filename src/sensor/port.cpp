// The sensor port.
//
// Principles of operation: the port is read blocking, in canonical mode with
// CR mapped to NL, so a CR LF line end arrives as two newlines and each read
// returns at most one line. The port's own settings are kept in `oldtp` and
// put back on a clean stop. When the device goes away (a USB serial device
// reads as end of file once unplugged) the descriptor is closed at once, so
// the kernel can give the device its old name back, and the port is tried
// again once a second until it returns. The sound state lives on meanwhile. The port is
// held exclusively (TIOCEXCL): another program's open is refused rather than given a
// share of the bytes.
#include "sensor/port.h"

#include "sensor/stop.h"
#include "sound/sound.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int fd = -1;
int n = 0;
termios oldtp;
termios newtp;

static const char PORT[] = "/dev/ttyACM0";

void setupport() {
    // Opened non-blocking only so the open cannot hang on modem lines; reads block.
    fcntl(fd, F_SETFL, 0);
    tcgetattr(fd, &oldtp);
    memset(&newtp, 0, sizeof newtp);
    newtp.c_cflag = B9600 | CS8 | CREAD | CLOCAL | CRTSCTS;
    newtp.c_iflag = IGNPAR | ICRNL;
    newtp.c_oflag = 0;
    // Canonical input without echo: nothing is sent back to the device.
    newtp.c_lflag = ICANON;
    // A re-plugged device comes back with the kernel's defaults, so apply on every open.
    tcsetattr(fd, TCSANOW, &newtp);
    // One reader at a time: a second (a serial monitor, a `cat`) would take a share of the
    // bytes, and both would read broken lines. It gets EBUSY instead.
    ioctl(fd, TIOCEXCL);
}

// O_NOCTTY: a service started as session leader must not take the port as its
// terminal, or unplugging the sensor would hang it up with SIGHUP.
static bool tryport() {
    fd = open(PORT, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    setupport();
    return true;
}

void openport() {
    if (!tryport()) perror(PORT);
}

static void waitport() {
    // The absence was reported once; a failed retry says nothing more.
    onesecond();
    if (stopsig) return;
    if (tryport()) fprintf(stderr, "%s: sensor connected\n", PORT);
}

static void portlost(reader &r) {
    const char *why = n == 0 ? "end of file" : strerror(errno);
    close(fd);
    fd = -1;
    fprintf(stderr, "%s: sensor lost: %s\n", PORT, why);
    // Half a field from the lost connection must not join the first of the next.
    dropfield(r);
}

void portstep(reader &r) {
    if (stopsig) stopnow(stopsig);
    if (fd < 0) {
        waitport();
        return;
    }
    // One read takes what has arrived, at most a line in canonical mode; a read per
    // byte cost more CPU than all the rest of a line's work.
    unsigned char bytes[256];
    n = static_cast<int>(read(fd, bytes, sizeof bytes));
    if (n > 0) {
        for (int i = 0; i < n; i++)
            if (takebyte(r, bytes[i])) process_sound(r.pitch, r.volume, r.sw);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        portlost(r);
    }
}

void readport() {
    reader r{};
    for (;;)
        portstep(r);
}

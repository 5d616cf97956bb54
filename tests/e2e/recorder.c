/* Stand-in for alsa-lib's raw MIDI calls, preloaded into the real binary.
 * Every call goes to the file named by MIDIREC_LOG as one line:
 * "<CLOCK_MONOTONIC seconds> <call> <arguments>". snd_strerror stays alsa-lib's.
 *
 * MIDIREC_OPEN_OK_AT=K   opens fail with -ENOENT until the K-th (0: never succeed)
 * MIDIREC_FAIL_WRITE=K   the write after the K-th fails with -ENODEV, once
 * MIDIREC_HANG_DRAIN=K   drain number K+1 waits until a signal interrupts it, as a
 *                        stuck device's, then fails with -EINTR. It waits in a read
 *                        of an empty pipe, which the kernel restarts under
 *                        SA_RESTART, as it does a real drain.
 */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char device;
static int opens, writes, drains;

static void record(const char *fmt, ...) {
    static int logfd = -1;
    if (logfd < 0) {
        const char *path = getenv("MIDIREC_LOG");
        logfd = open(path ? path : "/dev/null", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    char line[256];
    int len = snprintf(line, sizeof line, "%lld.%09ld ", (long long)t.tv_sec, t.tv_nsec);
    va_list ap;
    va_start(ap, fmt);
    len += vsnprintf(line + len, sizeof line - len - 1, fmt, ap);
    va_end(ap);
    line[len++] = '\n';
    /* One write per call, so a reader never sees half a line. */
    if (write(logfd, line, len) != len) abort();
}

static long setting(const char *name, long otherwise) {
    const char *value = getenv(name);
    return value ? strtol(value, NULL, 10) : otherwise;
}

static const char *which(snd_rawmidi_t *handle) {
    return handle == (snd_rawmidi_t *)&device ? "" : " BADHANDLE";
}

int snd_rawmidi_open(snd_rawmidi_t **in, snd_rawmidi_t **out, const char *name, int mode) {
    long okat = setting("MIDIREC_OPEN_OK_AT", 1);
    opens++;
    record("open %s %d%s", name, mode, in ? " INPUT" : "");
    if (okat == 0 || opens < okat) return -ENOENT;
    *out = (snd_rawmidi_t *)&device;
    return 0;
}

int snd_rawmidi_nonblock(snd_rawmidi_t *handle, int nonblock) {
    record("nonblock %d%s", nonblock, which(handle));
    return 0;
}

ssize_t snd_rawmidi_write(snd_rawmidi_t *handle, const void *buffer, size_t size) {
    char hex[3 * 16 + 1] = "";
    for (size_t i = 0; i < size && i < 16; i++)
        sprintf(hex + 3 * i, " %02x", ((const unsigned char *)buffer)[i]);
    record("write%s%s", hex, which(handle));
    if (++writes == setting("MIDIREC_FAIL_WRITE", -1) + 1) return -ENODEV;
    return (ssize_t)size;
}

int snd_rawmidi_drain(snd_rawmidi_t *handle) {
    record("drain%s", which(handle));
    if (++drains != setting("MIDIREC_HANG_DRAIN", -1) + 1) return 0;
    int never[2];
    char byte;
    if (pipe(never) != 0) abort();
    while (read(never[0], &byte, 1) < 0 && errno != EINTR) {
    }
    close(never[0]);
    close(never[1]);
    return -EINTR;
}

int snd_rawmidi_close(snd_rawmidi_t *handle) {
    record("close%s", which(handle));
    return 0;
}

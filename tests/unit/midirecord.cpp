#include "midirecord.h"

#include "midi/midi.h"
#include "sound/sound.h"

#include <cstdio>
#include <cstring>

std::vector<std::string> calls;
int openresult = 0;
std::vector<long> failures;
long long fakems = 0;
int quietset = 0;
bool tellcalls = false;

static char device;

static snd_rawmidi_t *fakehandle() {
    return reinterpret_cast<snd_rawmidi_t *>(&device);
}

static void record(const std::string &call) {
    calls.push_back(call);
    if (tellcalls) fprintf(stderr, "%s\n", call.c_str());
}

static long nextresult(long ok) {
    if (failures.empty()) return ok;
    long result = failures.front();
    failures.erase(failures.begin());
    return result ? result : ok;
}

void freshstart() {
    current = 0;
    curvol = 100;
    curmess = 74;
    toneptr = 0;
    err = 0;
    midiOutHandle = fakehandle();
    calls.clear();
    failures.clear();
    openresult = 0;
    quietset = 0;
    tellcalls = false;
    // Far from any earlier test's last try.
    fakems += 100000;
}

long long nowms() {
    return fakems;
}

void onesecond() {
    record("pause");
    fakems += 1000;
}

extern "C" {

int snd_rawmidi_open(snd_rawmidi_t **in, snd_rawmidi_t **out, const char *name, int mode) {
    record("open " + std::string(in ? "in " : "") + name + " " + std::to_string(mode));
    if (openresult < 0) return openresult;
    *out = fakehandle();
    return 0;
}

int snd_rawmidi_nonblock(snd_rawmidi_t *handle, int nonblock) {
    record(handle == fakehandle() ? "nonblock " + std::to_string(nonblock) : "nonblock ?");
    return 0;
}

ssize_t snd_rawmidi_write(snd_rawmidi_t *handle, const void *buffer, size_t size) {
    std::string line = handle == fakehandle() ? "write" : "write ?";
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (size_t i = 0; i < size; i++) {
        char hex[4];
        snprintf(hex, sizeof hex, " %02x", bytes[i]);
        line += hex;
    }
    record(line);
    return nextresult(static_cast<long>(size));
}

int snd_rawmidi_drain(snd_rawmidi_t *handle) {
    record(handle == fakehandle() ? "drain" : "drain ?");
    return static_cast<int>(nextresult(0));
}

int snd_rawmidi_close(snd_rawmidi_t *handle) {
    record(handle == fakehandle() ? "close" : "close ?");
    return 0;
}

const char *snd_strerror(int errnum) {
    return strerror(-errnum);
}

int snd_lib_error_set_handler(snd_lib_error_handler_t) {
    quietset++;
    return 0;
}
}

// Raw MIDI output on "hw:1,0,0".
//
// The port is opened once at start. When it is missing, or a USB interface
// is pulled while playing, the instrument runs on silently: every write is
// skipped until the port opens again, tried at most once a second and only
// when there is something to send.
#include "midi/midi.h"

#include "midi/message.h"
#include "sound/sound.h"

#include <cerrno>
#include <cstdio>

snd_rawmidi_t *midiOutHandle = nullptr;
int err = 0;
int toneptr = 0;

static const char MIDI_PORT[] = "hw:1,0,0";
static const int RETRY_MS = 1000;
static const int CYCLE[] = {84, 101, 66, 104};

static long long lasttry;

static int instrument(int counter) {
    return CYCLE[counter % 4];
}

static void quiet(const char *, int, const char *, int, const char *, ...) {}

static void midi_open() {
    lasttry = nowms();
    err = snd_rawmidi_open(nullptr, &midiOutHandle, MIDI_PORT, 0);
    if (err < 0) {
        midiOutHandle = nullptr;
        return;
    }
    // Writes must never hold up the sensor; the drains do the waiting.
    snd_rawmidi_nonblock(midiOutHandle, 1);
}

void midi_init() {
    midi_open();
    if (err < 0) printf("Can't open MIDI output: %s\n", snd_strerror(err));
}

void midi_retry() {
    if (midiOutHandle || nowms() - lasttry < RETRY_MS) return;
    // alsa-lib explained the first failure; once a second it would only repeat itself.
    snd_lib_error_set_handler(quiet);
    midi_open();
    if (midiOutHandle) fprintf(stderr, "%s: MIDI output open\n", MIDI_PORT);
}

// The errors of a port that has gone away, as opposed to one that is only full.
static bool gone(long result) {
    return result == -ENODEV || result == -EBADFD || result == -EIO || result == -ENXIO;
}

static void midi_lost(long result) {
    fprintf(stderr, "%s: MIDI output lost: %s\n", MIDI_PORT,
            snd_strerror(static_cast<int>(result)));
    snd_rawmidi_close(midiOutHandle);
    midiOutHandle = nullptr;
    lasttry = nowms();
}

static void midiwrite(snd_rawmidi_t *handle, const unsigned char *bytes, size_t size, bool drain) {
    // A handle closed earlier in the same step, or never opened, gets nothing.
    if (!handle || handle != midiOutHandle) return;
    // Other failures, a full port among them, lose the bytes and nothing else.
    long result = snd_rawmidi_write(handle, bytes, size);
    if (!gone(result) && drain) result = snd_rawmidi_drain(handle);
    if (gone(result)) midi_lost(result);
}

void playtone(snd_rawmidi_t *handle, int note, int velocity) {
    auto off = noteoffmsg(current);
    midiwrite(handle, off.data(), off.size(), true);
    auto on = noteonmsg(note, velocity);
    midiwrite(handle, on.data(), on.size(), true);
    curvol = velocity;
}

void noteoff() {
    auto off = noteoffmsg(current);
    midiwrite(midiOutHandle, off.data(), off.size(), true);
}

void changetone(snd_rawmidi_t *handle) {
    toneptr++;
    auto change = programmsg(instrument(toneptr));
    // No drain here: the one-second pause follows.
    midiwrite(handle, change.data(), change.size(), false);
}

// Raw MIDI output on "hw:1,0,0".
//
// The port is opened once at start. When it is missing, or a USB interface
// is pulled while playing, the instrument runs on silently: every write is
// skipped until the port opens again, tried at most once a second and only
// when there is something to send. A write that finds the port gone tries
// it once more at once, since the interface may be back already.
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

// Every open after the first: alsa-lib explained the first failure, and a
// retry once a second would only repeat it.
static void midi_reopen() {
    snd_lib_error_set_handler(quiet);
    midi_open();
    if (midiOutHandle) fprintf(stderr, "%s: MIDI output open\n", MIDI_PORT);
}

void midi_init() {
    midi_open();
    if (err < 0) printf("Can't open MIDI output: %s\n", snd_strerror(err));
}

void midi_retry() {
    if (midiOutHandle || nowms() - lasttry < RETRY_MS) return;
    midi_reopen();
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
}

// Other failures, a full port among them, lose the bytes and nothing else.
static long send(const unsigned char *bytes, size_t size, bool drain) {
    long result = snd_rawmidi_write(midiOutHandle, bytes, size);
    if (!gone(result) && drain) result = snd_rawmidi_drain(midiOutHandle);
    return result;
}

// Writes go to the output open at the time, which may have been reopened since
// the caller took its handle; with none open, they are skipped.
static void midiwrite(const unsigned char *bytes, size_t size, bool drain) {
    if (!midiOutHandle) return;
    long result = send(bytes, size, drain);
    if (!gone(result)) return;
    midi_lost(result);
    // A synth unplugged and plugged back while nothing played is back already, and
    // its card freed the old one's place: one try at once, then the retries.
    midi_reopen();
    if (midiOutHandle && gone(result = send(bytes, size, drain))) midi_lost(result);
}

void playtone(snd_rawmidi_t *, int note, int velocity) {
    auto off = noteoffmsg(current);
    midiwrite(off.data(), off.size(), true);
    auto on = noteonmsg(note, velocity);
    midiwrite(on.data(), on.size(), true);
    curvol = velocity;
}

void noteoff() {
    auto off = noteoffmsg(current);
    midiwrite(off.data(), off.size(), true);
}

void changetone(snd_rawmidi_t *) {
    toneptr++;
    auto change = programmsg(instrument(toneptr));
    // No drain here: the one-second pause follows.
    midiwrite(change.data(), change.size(), false);
}

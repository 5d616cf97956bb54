// Sound control. For each reading, in this order: a nonzero switch changes
// the instrument; a low volume silences; otherwise the reading picks a note
// and a velocity, sent only when one of them changed and the hand really
// moved (the movement gate), so sensor jitter does not retrigger notes.
#include "sound/sound.h"

#include "midi/midi.h"

#include <climits>
#include <cstdio>
#include <iterator>

int current = 0;
int curvol = 100;
int curmess = 74;

namespace {

// A reading at or above `from` maps to `value`; bands run from the top down.
struct band {
    int from;
    int value;
};

// Not monotonic: 201-250 plays softer than 151-200, as the instrument always has.
const band VELOCITIES[] = {{301, 100}, {251, 70}, {201, 55}, {151, 60}, {111, 40}, {91, 30}};
const int SILENT = 0;

// C major from middle C up one octave.
const band NOTES[] = {{360, 72}, {310, 71}, {260, 69}, {210, 67}, {160, 65}, {120, 64}, {70, 62}};
const int LOWEST_NOTE = 60;

// Smaller moves than this are jitter, not a hand.
const int GATE = 15;

template <size_t N> int lookup(const band (&bands)[N], int reading, int below) {
    for (const band &b : bands)
        if (reading >= b.from) return b.value;
    return below;
}

// The band `reading` falls in: bands run from the top down.
template <size_t N> void edges(const band (&bands)[N], int reading, int &first, int &last) {
    first = INT_MIN, last = INT_MAX;
    for (const band &b : bands) {
        if (reading >= b.from) {
            first = b.from;
            return;
        }
        last = b.from - 1;
    }
}

} // namespace

const int SILENCE_MAX = 90;
const int LOWEST_NOTE_BELOW = NOTES[std::size(NOTES) - 1].from;
const int HIGHEST_NOTE_FROM = NOTES[0].from;
const int LOUDEST_FROM = VELOCITIES[0].from;

void noteband(int pitch, int &first, int &last) {
    edges(NOTES, pitch, first, last);
}

void velocityband(int volume, int &first, int &last) {
    edges(VELOCITIES, volume, first, last);
}

int velocity(int volume) {
    return lookup(VELOCITIES, volume, SILENT);
}

int note(int pitch) {
    return lookup(NOTES, pitch, LOWEST_NOTE);
}

void process_sound(int pitch, int volume, int sw) {
    if (sw != 0) {
        midi_retry();
        noteoff();
        changetone(midiOutHandle);
        // Lines that arrive during the pause wait in the port and are handled after it.
        onesecond();
        return;
    }

    int vel = velocity(volume);
    if (volume <= SILENCE_MAX) {
        if (curvol != 0) {
            midi_retry();
            // A zero-velocity Note On to middle C, whatever was sounding.
            playtone(midiOutHandle, LOWEST_NOTE, 0);
        }
        return;
    }

    int nt = note(pitch);
    if (nt == current && vel == curvol) return;

    // Wide type: process_sound takes any int, and the difference must not overflow.
    long long moved = static_cast<long long>(pitch) - curmess;
    if (moved > -GATE && moved < GATE) return;

    printf("%d\n", nt);
    midi_retry();
    playtone(midiOutHandle, nt, vel);
    curmess = pitch;
    current = nt;
}

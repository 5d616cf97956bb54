// sensormidi-monitor's rules: the sensor's lines as the instrument reads them (its reader,
// its note and velocity tables), shown live, and over a session the readings' range, with
// the sketch's scaling constants that would stretch what the hand reached over the whole
// scale and the whole of the velocities.
#pragma once

#include "sensor/reader.h"

#include <string>

// A session: the lines read so far, and what they carried.
struct session {
    reader r;           // the instrument's reader
    std::string text;   // the line being read, as it came
    long lines, unread; // lines read whole; lines that were not "pitch,volume|switch"
    long presses;       // lines whose switch was not 0
    int pitch, volume;  // the last line's readings
    int lowpitch, highpitch, lowvolume, highvolume; // over the session
};

// The sketch's scaling (firmware/sensor/sensor.ino): each input's raw LOW and HIGH, and
// the RANGE it is scaled to.
struct scaling {
    long pitchlow = 0, pitchhigh = 1023, volumelow = 0, volumehigh = 1023;
    long pitchrange = 400, volumerange = 350;
};

// Takes one byte from the port; true when it ended a line that was read whole.
bool monitorbyte(session &s, unsigned char c);

// The live line: the readings, the note (with its band's edges) and velocity they play,
// the switch, lines a second over the last `seconds`, `lines` of them, and the range seen.
std::string monitorline(const session &s, long lines, double seconds);

// The sketch's constants in its text; those it lacks keep the shipped values.
scaling readsketch(const std::string &text);
// What the hand reached, of the scale and of the velocities; where less than the whole,
// the sketch's constants that would stretch it, as lines to paste into the sketch.
std::string monitorsummary(const session &s, double seconds, const scaling &now);

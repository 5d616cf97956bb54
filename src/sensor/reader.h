// The sensor line reader: cuts the port's byte stream into readings.
//
// A line is "pitch,volume|switch" and a line end. Each field is taken when
// its terminator arrives, whatever its place in the line, so a line that
// lacks a field passes on the last value that field had.
#pragma once

struct reader {
    char text[4];   // field text: at most three characters and a zero
    int pos;        // where the next character of the field goes
    int pitch;      // last field ended by ','
    int volume;     // last field ended by '|'
    int sw;         // last field ended by '\n'
    bool afterline; // the byte just after a line end is still to come
};

// Takes one byte; true when it ended a line and the readings are ready.
bool takebyte(reader &r, unsigned char c);

// Forgets a field that was cut off, as when the sensor goes away mid-line,
// and the line end just taken, if any.
void dropfield(reader &r);

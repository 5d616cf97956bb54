#include "sensor/reader.h"

#include <cstdlib>
#include <cstring>

static int takefield(reader &r) {
    int value = atoi(r.text);
    dropfield(r);
    return value;
}

void dropfield(reader &r) {
    memset(r.text, 0, sizeof r.text);
    r.pos = 0;
    r.afterline = false;
}

bool takebyte(reader &r, unsigned char c) {
    // The port turns CR LF into two line ends; the second is dropped. Any other
    // byte is the start of the next line (a device that ends lines with LF alone).
    if (r.afterline) {
        r.afterline = false;
        if (c == '\n' || c == '\r') return false;
    }
    switch (c) {
    case ',':
        r.pitch = takefield(r);
        return false;
    case '|':
        r.volume = takefield(r);
        return false;
    case '\n':
        r.sw = takefield(r);
        r.afterline = true;
        return true;
    default:
        // Values are at most three characters; the rest of a longer field is dropped.
        if (r.pos < static_cast<int>(sizeof r.text) - 1) r.text[r.pos++] = static_cast<char>(c);
        return false;
    }
}

// sensormidi: plays the sensor on /dev/ttyACM0 through raw MIDI port hw:1,0,0.
#include "midi/midi.h"
#include "sensor/port.h"
#include "sensor/stop.h"

#include <cstdio>

int main() {
    // The note log reaches a pipe or the journal line by line, as it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    catchsignals();
    openport();
    midi_init();
    for (;;)
        readport();
}

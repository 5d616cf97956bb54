// The sensormidi reference sensor, at 16 MHz and 5 V on one of two kinds of board,
// either of which comes up as /dev/ttyACM0:
// - an Arduino Uno: an ATmega328P whose serial line, at 9600 baud, reaches USB
//   through the board's bridge chip (a CDC ACM device);
// - an ATmega32U4 board (Arduino Leonardo, Micro, a 5 V Pro Micro) whose Serial is
//   itself a USB CDC ACM port: a line leaves at the next USB frame, within 1 ms.
// It reads a pitch and a volume from two analog inputs and a switch, and sends
// lines "pitch,volume|switch" and CR LF, each value at most three characters.

// Wiring, the same on both: the pitch sensor's output to A0, the volume sensor's to
// A1 (each sensor powered from 5V and GND), the switch between pin 2 and GND. Drawn for
// an Uno and a Pro Micro in docs/wiring.svg.
const int PITCH_PIN = A0;
const int VOLUME_PIN = A1;
const int SWITCH_PIN = 2;

// Scaling, to adapt to your sensors. Each input's raw reading runs from its _LOW
// (0 V is 0) to its _HIGH (5 V is 1023); the hand's range of a sensor that swings
// less than that is its two raw readings at the ends of the range. The ends map to
// the whole scale and to silence .. the loudest velocity:
//   pitch  0 .. 400: middle C (below 70) up to C an octave higher (360 and above)
//   volume 0 .. 350: silence (90 and below) up to the loudest (301 and above)
// A sensor that reads the other way round (a distance sensor reads high when the
// hand is near) is flipped by swapping its _LOW and _HIGH. sensormidi-monitor shows the
// readings as the hand moves, and gives these constants for the range it reached.
const long PITCH_LOW = 0;
const long PITCH_HIGH = 1023;
const long VOLUME_LOW = 0;
const long VOLUME_HIGH = 1023;
const long PITCH_RANGE = 400;
const long VOLUME_RANGE = 350;

// A press counts once it has held this long without bouncing; so does a release.
const unsigned long DEBOUNCE_MS = 20;

// A line goes out as soon as a reading or the switch has changed. A reading has
// changed when it is 2 or more from the one last sent, or 1 from it, the same way,
// for STEADY_MS: the converter's jitter of a step flips back sooner, while a hand
// that rests one step away still gets there, so that every value, and every band
// edge of the program, can be reached.
const unsigned long STEADY_MS = 50;
// While nothing changes, the last values sent go out again this often, with the
// switch at 0 (a repeated 1 would change the instrument again): a line lost on the
// way is made good, and the link is otherwise idle, free for the next change.
const unsigned long KEEPALIVE_MS = 100;
#if defined(USBCON)
// Native USB has no line time to pace the lines: at most one per 4 ms, so that the
// second the program pauses after an instrument change (at most 250 lines, 2.8 kB)
// fits the 4 kB that the host's serial buffer holds before it stops reading.
const unsigned long SPACING_US = 4000;
#endif

bool pressed = false; // the debounced switch
bool lastRaw = false; // the switch as last read, bounces and all
unsigned long changedAt = 0;
bool pressToSend = false; // a press that no line has carried yet

// The readings last sent (none yet: far from any, so the first line goes at once),
// and since when each has been one step away.
long sentPitch = -1000, sentVolume = -1000;
struct Away {
    long step;
    unsigned long since;
} pitchAway, volumeAway;
unsigned long sentAtMs = 0, sentAtUs = 0;

void setup() {
    Serial.begin(9600);
    pinMode(SWITCH_PIN, INPUT_PULLUP);
}

// A reading from LOW..HIGH (either way round) to 0..range, held inside it.
long scaled(int raw, long low, long high, long range) {
    return constrain(map(raw, low, high, 0, range), 0, range);
}

void watchSwitch() {
    bool raw = digitalRead(SWITCH_PIN) == LOW;
    unsigned long now = millis();
    if (raw != lastRaw) {
        lastRaw = raw;
        changedAt = now;
    } else if (raw != pressed && now - changedAt >= DEBOUNCE_MS) {
        pressed = raw;
        if (pressed) pressToSend = true;
    }
}

// Whether a reading has changed from the one last sent (see STEADY_MS).
bool changed(long reading, long sent, Away &away) {
    long step = reading - sent;
    if (step >= 2 || step <= -2) return true;
    unsigned long now = millis();
    if (step != away.step) {
        away.step = step;
        away.since = now;
    }
    return step != 0 && now - away.since >= STEADY_MS;
}

void loop() {
    watchSwitch();
#if defined(USBCON)
    if (micros() - sentAtUs < SPACING_US) return;
#else
    // A line is read and sent only once the last one has left, so every line
    // carries readings at most one line time old: a queue of lines would delay them.
    if (Serial.availableForWrite() < SERIAL_TX_BUFFER_SIZE - 1) return;
#endif
    long pitch = scaled(analogRead(PITCH_PIN), PITCH_LOW, PITCH_HIGH, PITCH_RANGE);
    long volume = scaled(analogRead(VOLUME_PIN), VOLUME_LOW, VOLUME_HIGH, VOLUME_RANGE);
    bool moved = changed(pitch, sentPitch, pitchAway);
    moved = changed(volume, sentVolume, volumeAway) || moved;
    if (!moved && !pressToSend) {
        if (millis() - sentAtMs < KEEPALIVE_MS) return;
        pitch = sentPitch;
        volume = sentVolume;
    }
    // The switch is 1 on one line per press: each 1 changes the instrument.
    char line[16];
    int length = snprintf(line, sizeof line, "%ld,%ld|%d\r\n", pitch, volume, pressToSend ? 1 : 0);
    // One write of the whole line: native USB sends nothing until the host opens the
    // port (DTR), and a line must never go out in part. Unsent, it is tried again.
    if (Serial.write(line, length) != (size_t)length) return;
    sentPitch = pitch;
    sentVolume = volume;
    pitchAway.step = volumeAway.step = 0;
    pressToSend = false;
    sentAtMs = millis();
    sentAtUs = micros();
}

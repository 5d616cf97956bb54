// The sensormidi reference sensor: an ATmega328P board at 16 MHz whose USB
// bridge is a CDC ACM device (an Arduino Uno, its bridge an ATmega16U2), so it
// comes up as /dev/ttyACM0. It reads a pitch and a volume from two analog
// inputs and a switch, and sends one line per reading at 9600 baud:
// "pitch,volume|switch" and CR LF, each value at most three characters.

// Wiring: the pitch sensor's output to A0, the volume sensor's to A1 (each
// sensor powered from 5V and GND), the switch between pin 2 and GND.
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
// hand is near) is flipped by swapping its _LOW and _HIGH.
const long PITCH_LOW = 0;
const long PITCH_HIGH = 1023;
const long VOLUME_LOW = 0;
const long VOLUME_HIGH = 1023;
const long PITCH_RANGE = 400;
const long VOLUME_RANGE = 350;

// A press counts once it has held this long without bouncing; so does a release.
const unsigned long DEBOUNCE_MS = 20;

bool pressed = false; // the debounced switch
bool lastRaw = false; // the switch as last read, bounces and all
unsigned long changedAt = 0;
bool pressToSend = false; // a press that no line has carried yet

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

void loop() {
    watchSwitch();
    // A line is read and sent only once the last one has left, so every line
    // carries readings at most one line time old: a queue of lines would delay them.
    if (Serial.availableForWrite() < SERIAL_TX_BUFFER_SIZE - 1) return;
    long pitch = scaled(analogRead(PITCH_PIN), PITCH_LOW, PITCH_HIGH, PITCH_RANGE);
    long volume = scaled(analogRead(VOLUME_PIN), VOLUME_LOW, VOLUME_HIGH, VOLUME_RANGE);
    Serial.print(pitch);
    Serial.print(',');
    Serial.print(volume);
    Serial.print('|');
    // The switch is 1 on one line per press: each 1 changes the instrument.
    Serial.println(pressToSend ? 1 : 0); // println ends the line with CR LF
    pressToSend = false;
}

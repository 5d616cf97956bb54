"""What the instrument must send for a byte stream, worked out from its rules
alone: the line discipline, the line reader, sound control and the messages.
It shares no code with the program."""

VELOCITY = [(301, 100), (251, 70), (201, 55), (151, 60), (111, 40), (91, 30)]
NOTES = [(360, 72), (310, 71), (260, 69), (210, 67), (160, 65), (120, 64), (70, 62)]
CYCLE = [84, 101, 66, 104]


def c_atoi(text):
    text = text.split(b"\0", 1)[0].lstrip(b" \t\n\v\f\r")
    sign, digits = 1, b""
    if text[:1] in (b"+", b"-"):
        sign = -1 if text[:1] == b"-" else 1
        text = text[1:]
    for c in text:
        if not 0x30 <= c <= 0x39:
            break
        digits += bytes([c])
    return sign * int(digits) if digits else 0


def band(table, reading, below):
    for low, value in table:
        if reading >= low:
            return value
    return below


class Model:
    def __init__(self):
        self.current, self.curvol, self.curmess, self.toneptr = 0, 100, 74, 0
        self.text, self.pitch, self.volume, self.sw, self.afterline = b"", 0, 0, 0, False
        self.calls, self.log = [], []
        self.messages = []  # the bytes of each write, as they reach the synth

    def write(self, *data, drain=True):
        self.messages.append(bytes(data))
        self.calls += [f"write {bytes(data).hex(' ')}"] + (["drain"] if drain else [])

    def wire(self):
        return list(b"".join(self.messages))

    def off(self):
        self.write(0x80, self.current & 0xFF, 0)

    def playtone(self, note, vel):
        self.off()
        self.write(0x90, note, vel)
        self.curvol = vel

    def sound(self, pitch, volume, sw):
        if sw != 0:
            self.off()
            self.toneptr += 1
            self.write(0xC0, CYCLE[self.toneptr % 4], drain=False)
            return
        vel = band(VELOCITY, volume, 0)
        if volume <= 90:
            if self.curvol != 0:
                self.playtone(60, 0)
            return
        note = band(NOTES, pitch, 60)
        if note == self.current and vel == self.curvol:
            return
        if abs(pitch - self.curmess) < 15:
            return
        self.log.append(str(note))
        self.playtone(note, vel)
        self.curmess, self.current = pitch, note

    def feed(self, data):
        """Bytes as the device sends them; the port maps CR to NL."""
        for c in data.replace(b"\r", b"\n"):
            if self.afterline:
                self.afterline = False
                if c == 0x0A:
                    continue
            if c == ord(","):
                self.pitch, self.text = c_atoi(self.text), b""
            elif c == ord("|"):
                self.volume, self.text = c_atoi(self.text), b""
            elif c == 0x0A:
                self.sw, self.text = c_atoi(self.text), b""
                self.afterline = True
                self.sound(self.pitch, self.volume, self.sw)
            elif len(self.text) < 3:
                self.text += bytes([c])

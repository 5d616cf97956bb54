"""Standard MIDI File writing: the messages the instrument sent, at their times."""

import struct

TICKS_PER_QUARTER = 1000
TEMPO_US = 500000  # 120 beats a minute, so a tick is half a millisecond
TICKS_PER_SECOND = TICKS_PER_QUARTER * 1000000 // TEMPO_US


def varlen(value):
    """A MIDI variable-length quantity: seven bits a byte, high bit set on all but the last."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def smf(messages):
    """messages: (seconds, bytes) in time order. Returns a format-0 file."""
    track = bytearray(varlen(0) + b"\xff\x51\x03" + TEMPO_US.to_bytes(3, "big"))
    last = 0
    for seconds, data in messages:
        tick = max(last, round(seconds * TICKS_PER_SECOND))
        track += varlen(tick - last) + bytes(data)
        last = tick
    track += varlen(0) + b"\xff\x2f\x00"
    header = b"MThd" + struct.pack(">IHHH", 6, 0, 1, TICKS_PER_QUARTER)
    return header + b"MTrk" + struct.pack(">I", len(track)) + bytes(track)

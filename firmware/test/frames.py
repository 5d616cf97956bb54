"""The frames that the board's harness (live.c) and the guest's relay speak: a kind byte,
a 16-bit big-endian length, then the payload."""


def frame(kind, payload):
    return kind + len(payload).to_bytes(2, "big") + payload


def split(data):
    """The whole frames at the head of `data`, as (kind, payload), and what is left."""
    frames = []
    while len(data) >= 3 and len(data) >= 3 + int.from_bytes(data[1:3], "big"):
        size = int.from_bytes(data[1:3], "big")
        frames.append((data[:1], data[3:3 + size]))
        data = data[3 + size:]
    return frames, data

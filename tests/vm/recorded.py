"""Checks what QEMU's sound cards recorded on the host (vm.py --sound) in the sound card
test, once the machine is gone: each recording holds the notes played into it, in
order, at their pitches, and nothing else.

Usage: recorded.py DIR
"""

import os
import struct
import sys

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from listen import HOLD, PLUGGED, RATE, heard_as, onsets  # noqa: E402

HEADER = 44  # bytes of QEMU's wav header, before the samples
FRAME = 4  # bytes: 16-bit stereo


def read_wav(path):
    """The samples of QEMU's wav file in mono. Its sizes are written only when it is
    closed: the data run to the end of the file."""
    with open(path, "rb") as f:
        data = f.read()
    channels, rate, bits = struct.unpack_from("<HIxxxxxxH", data, 22)
    assert (rate, bits) == (RATE, 16), (path, rate, bits)
    samples = numpy.frombuffer(data[HEADER:len(data) - (len(data) - HEADER) % (2 * channels)],
                               "<i2")
    return samples.reshape(-1, channels).mean(axis=1) / 32768


def read_sizes(folder, name):
    """vm.py's log of a recording's size as it grew: (host time, bytes)."""
    with open(os.path.join(folder, "sizes")) as f:
        return [(float(t), int(size)) for n, t, size in map(str.split, f) if n == name + ".wav"]


def main(folder):
    failed = 0
    for name, notes in PLUGGED:
        path = os.path.join(folder, name + ".wav")
        sound = read_wav(path) if os.path.exists(path) else numpy.zeros(0)
        found = onsets(sound)
        heard = [heard_as(sound, o, n, HOLD) for o, n in zip(found, notes)]
        ok = len(found) == len(notes) and all(h[0] for h in heard)
        failed += not ok
        print(f"{name}.wav: {len(sound) / RATE:.1f} s, notes begin at "
              f"{[round(o / RATE, 2) for o in found]} s; expected {list(notes)}: "
              f"{'heard' if ok else 'FAILED ' + str([h[1] for h in heard])}", flush=True)
    print(f"{len(PLUGGED) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

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
from listen import PLUGGED, RATE, SILENCE, is_note, onsets  # noqa: E402

HEADER = 44  # bytes of QEMU's wav header, before the samples
FRAME = 4  # bytes: 16-bit stereo
LOUD = 10 ** ((SILENCE + 10) / 20)  # the first sample over this is a note's


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


def began(sizes, name):
    """The sample rate that a recording's growth shows against the host's clock, and the
    host's time of its first sample at that rate (vm.py's DIR/sizes, read as (name, time,
    size)). QEMU writes a recording at a steady rate (the emulated USB device's is not
    quite 48 kHz against the host's clock); a sample's time is at most the moment its
    bytes were seen in the file, and the earliest such bound over the whole recording
    fixes where it began."""
    seen = [(t, (size - HEADER) / FRAME) for n, t, size in sizes
            if n == name + ".wav" and size > HEADER]
    # The last size is the one written when QEMU closed the file, which may be long after
    # the stream stopped.
    (t0, f0), (t1, f1) = seen[0], seen[-2]
    rate = (f1 - f0) / (t1 - t0)
    return rate, min(t - frames / rate for t, frames in seen[:-1])


def first_sound(sound, rate, start, t, within=2):
    """The host's time of the first loud sample within `within` seconds after host time
    `t`, in a recording (mono) that began at host time `start` at `rate`; None if none."""
    first = max(0, int((t - start) * rate))
    loud = numpy.flatnonzero(numpy.abs(sound[first:first + int(within * rate)]) > LOUD)
    return start + (first + loud[0]) / rate if len(loud) else None


def read_sizes(folder):
    with open(os.path.join(folder, "sizes")) as f:
        return [(n, float(t), int(size)) for n, t, size in map(str.split, f)]


def main(folder):
    failed = 0
    for name, notes in PLUGGED:
        path = os.path.join(folder, name + ".wav")
        sound = read_wav(path) if os.path.exists(path) else numpy.zeros(0)
        found = onsets(sound)
        heard = [is_note(sound[o + RATE // 10:o + 7 * RATE // 10], n)
                 for o, n in zip(found, notes)]
        ok = len(found) == len(notes) and all(h[0] for h in heard)
        failed += not ok
        print(f"{name}.wav: {len(sound) / RATE:.1f} s, notes begin at "
              f"{[round(o / RATE, 2) for o in found]} s; expected {list(notes)}: "
              f"{'heard' if ok else 'FAILED ' + str([h[1] for h in heard])}", flush=True)
    print(f"{len(PLUGGED) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

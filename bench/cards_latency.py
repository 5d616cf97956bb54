"""Latency to the ear through QEMU's codec and USB audio device, on the host: from each
line's host time (synth_bench.py's "CARDS " line, in the machine's output) to the first
sound of its note in the recording that QEMU wrote. The recordings' samples are lined up
with the host's clock by their sizes as they grew (vm.py's DIR/sizes): QEMU writes a
recording at a steady rate, which its growth shows (the emulated USB device's is not quite
48 kHz against the host's clock); a sample's time is at most the moment its bytes were seen
in the file, and the earliest such bound over the whole recording fixes where it began.

Usage: cards_latency.py DIR OUTPUT (vm.py --sound's DIR; the file holding its output)
"""

import json
import os
import statistics
import sys

import numpy

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "vm"))
from listen import SILENCE  # noqa: E402
from recorded import FRAME, HEADER, read_sizes, read_wav  # noqa: E402

LOUD = 10 ** ((SILENCE + 10) / 20)  # the first sample over this is the note's


def began(sizes):
    """The sample rate that the recording's growth shows against the host's clock, and the
    host's time of its first sample at that rate."""
    seen = [(t, (size - HEADER) / FRAME) for t, size in sizes if size > HEADER]
    # The last size is the one written when QEMU closed the file, which may be long after
    # the stream stopped.
    (t0, f0), (t1, f1) = seen[0], seen[-2]
    rate = (f1 - f0) / (t1 - t0)
    return rate, min(t - frames / rate for t, frames in seen[:-1])


def main(folder, output):
    with open(output) as f:
        cards = json.loads(next(line for line in f if line.startswith("CARDS "))[6:])
    print(f"{cards['accel']}; the host's time of each line taken from vm.py just before it, "
          f"the round trip {cards['trip'] * 1000:.1f} ms (median)")
    print("| output | its buffer | median | 90th percentile | worst | sample rate against "
          "the host's clock |")
    print("|---|---|---|---|---|---|")
    for name, sent in cards["sent"].items():
        sound = numpy.abs(read_wav(os.path.join(folder, name + ".wav")))
        rate, start = began(read_sizes(folder, name))
        ms = []
        for t in sent:
            first = max(0, int((t - start) * rate))
            loud = numpy.flatnonzero(sound[first:first + int(2 * rate)] > LOUD)
            assert len(loud), f"{name}: no sound within 2 s of the line at {t:.3f}"
            ms.append((start + (first + loud[0]) / rate - t) * 1000)
        ms.sort()
        buffer = cards["said"][name].split("buffer ")[-1]
        print(f"| {cards['said'][name].split(' as ')[0].split('card ')[-1]} | {buffer} | "
              f"{statistics.median(ms):.1f} ms | {ms[len(ms) * 9 // 10]:.1f} ms | {ms[-1]:.1f} ms "
              f"| {rate:.0f} Hz |")
    print("The synth followed, from udev's event about the card to its line: " + ", ".join(
        f"to {name} {seconds:.2f} s" for name, seconds in cards["follows"].items()))


if __name__ == "__main__":
    main(*sys.argv[1:])

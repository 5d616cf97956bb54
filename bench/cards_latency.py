"""Latency to the ear through QEMU's codec and USB audio device, on the host: from each
line's host time (synth_bench.py's "CARDS " line, in the machine's output) to the first
sound of its note in the recording that QEMU wrote, lined up with the host's clock by its
sizes as it grew (recorded.began).

Usage: cards_latency.py DIR OUTPUT (vm.py --sound's DIR; the file holding its output)
"""

import json
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "vm"))
from recorded import began, first_sound, read_sizes, read_wav  # noqa: E402


def main(folder, output):
    with open(output) as f:
        cards = json.loads(next(line for line in f if line.startswith("CARDS "))[6:])
    sizes = read_sizes(folder)
    print(f"{cards['accel']}; the host's time of each line taken from vm.py just before it, "
          f"the round trip {cards['trip'] * 1000:.1f} ms (median)")
    print("| output | its buffer | median | 90th percentile | worst | sample rate against "
          "the host's clock |")
    print("|---|---|---|---|---|---|")
    for name, sent in cards["sent"].items():
        sound = read_wav(os.path.join(folder, name + ".wav"))
        rate, start = began(sizes, name)
        ms = []
        for t in sent:
            heard = first_sound(sound, rate, start, t)
            assert heard, f"{name}: no sound within 2 s of the line at {t:.3f}"
            ms.append((heard - t) * 1000)
        ms.sort()
        buffer = cards["said"][name].split("buffer ")[-1]
        print(f"| {cards['said'][name].split(' as ')[0].split('card ')[-1]} | {buffer} | "
              f"{statistics.median(ms):.1f} ms | {ms[len(ms) * 9 // 10]:.1f} ms | {ms[-1]:.1f} ms "
              f"| {rate:.0f} Hz |")


if __name__ == "__main__":
    main(*sys.argv[1:])

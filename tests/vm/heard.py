"""What the whole-instrument test played into QEMU's USB audio device, reported on the
host once the machine is gone, not checked: the notes found where sound begins after a
silence, against those played, and, from each step of the hand to the first sound after
it, the figures beside those the test measured to the Note On (its "HAND {...}" line).
The times need the recording lined up with the host's clock by its growth
(recorded.began), which the USB device's bursts make uncertain; and its recording does
not yet hold every note apart (a known fault of this rig, see docs/performance.md), so
neither is a check yet.

Usage: heard.py DIR OUTPUT (vm.py --sound's DIR; the file holding the machine's output)
"""

import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from listen import RATE, is_note, onsets  # noqa: E402
from recorded import began, first_sound, read_sizes, read_wav  # noqa: E402

PLUGGED_BACK = 67  # the note played once the board is plugged back


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


def row(name, values):
    return f"{name} {statistics.median(values):.1f} / {percentile(values, 0.9):.1f} ms"


def main(folder, output):
    with open(output) as f:
        hand = json.loads(next(line for line in f if line.startswith("HAND "))[5:])
    sound = read_wav(os.path.join(folder, "dac0.wav"))
    rate, start = began(read_sizes(folder), "dac0")
    print(f"{hand['accel']}; {hand['synth']}; the recording at {rate:.0f} Hz against the "
          "host's clock")
    # The notes in order, each from silence: found by where sound begins after a rest,
    # which needs no clock.
    expected = [note for figures in hand["boards"].values()
                for _, what, note in figures["steps"] if what == "note"] + [PLUGGED_BACK]
    found = onsets(sound)
    heard = [is_note(sound[o + RATE // 20:o + 7 * RATE // 20], n) for o, n in zip(found, expected)]
    wrong = [(round(o / RATE, 2), n, h[1]) for o, n, h in zip(found, expected, heard) if not h[0]]
    print(f"{len(found)} notes begin after a silence, {len(expected)} played; "
          f"{len(wrong)} not at their pitch: {wrong}")
    # From each step to the first sound after it, on the host's clock.
    medians = {}
    for board, figures in hand["boards"].items():
        notes = [t for t, what, _ in figures["steps"] if what == "note"]
        to_ear = [(first_sound(sound, rate, start, t, within=1) or float("nan")) * 1000 - t * 1000
                  for t in notes]
        line, on = figures["to_line"], figures["to_note_on"]
        medians[board] = statistics.median(to_ear)
        print(f"{board}, {len(on)} steps, median / 90th percentile: "
              f"{row('step to the line leaving the board', line)}; "
              f"{row('line to Note On', [o - li for o, li in zip(on, line)])}; "
              f"{row('Note On to first sound', [e - o for e, o in zip(to_ear, on)])}; "
              f"{row('step to first sound', to_ear)}; simavr behind the wall clock by "
              f"{figures['lag_us']} us at worst", flush=True)
    print(f"to the ear, the Leonardo {medians['Uno'] / medians['Leonardo']:.2f} times sooner "
          "than the Uno (median)")

if __name__ == "__main__":
    main(*sys.argv[1:])

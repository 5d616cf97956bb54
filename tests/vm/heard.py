"""What the whole-instrument test played into QEMU's USB audio device, checked on the
host once the machine is gone, against its "HAND {...}" line: every note of both boards
in order, each at its pitch, each after a silence (a rest that did not fall silent runs
two notes together); and, from each step of the hand to the moment the first sound of
its note was played, figures beside those that the test measured to the Note On.

When a sample was played: QEMU writes the recording a period at a time as the device
plays it, and vm.py logs the file's size against the host's clock every 2 ms. A sample
was played when the first size that holds it was logged, less the time that the samples
written after it in that growth took to play.

Usage: heard.py DIR OUTPUT (vm.py --sound's DIR; the file holding the machine's output)
"""

import bisect
import json
import os
import statistics
import sys

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from listen import RATE, SILENCE, STEP, heard_as, onsets, percentile  # noqa: E402
from recorded import FRAME, HEADER, read_sizes, read_wav  # noqa: E402

LOUD = 10 ** ((SILENCE + 10) / 20)  # the first sample over this begins a note


def played(sizes, frame):
    """The host's time when the recording's sample `frame` was played."""
    need = HEADER + (frame + 1) * FRAME
    t, size = sizes[bisect.bisect_left(sizes, need, key=lambda logged: logged[1])]
    return t - (size - need) / FRAME / RATE


def row(name, values):
    return f"{name} {statistics.median(values):.1f} / {percentile(values, 0.9):.1f} ms"


def main(folder, output):
    with open(output) as f:
        hand = json.loads(next(line for line in f if line.startswith("HAND "))[5:])
    sound = read_wav(os.path.join(folder, "dac0.wav"))
    sizes = read_sizes(folder, "dac0")
    steps = {board: [(t, note) for t, what, note in figures["steps"] if what == "note"]
             for board, figures in hand["boards"].items()}
    expected = [note for notes in steps.values() for _, note in notes] + [hand["plugged_back"]]
    # Where each note begins: its first loud sample, in the 10 ms where the sound rises.
    found = [o + int(numpy.argmax(numpy.abs(sound[o:o + STEP]) > LOUD)) for o in onsets(sound)]
    wrong = [(round(o / RATE, 2), n, heard) for o, n in zip(found, expected)
             for ok, heard in [heard_as(sound, o, n, hand["hold_ms"] / 1000)] if not ok]
    print(f"{hand['accel']}; {hand['synth']}; {len(found)} notes begin after a silence, "
          f"{len(expected)} played, {len(wrong)} not at their pitch {wrong}", flush=True)
    if len(found) != len(expected) or wrong:
        return 1
    at, to_ear = 0, {}
    for board, notes in steps.items():
        figures = hand["boards"][board]
        to_ear[board] = [(played(sizes, o) - t) * 1000 for (t, _), o in zip(notes, found[at:])]
        at += len(notes)
        line, on = figures["to_line"], figures["to_note_on"]
        print(f"{board}, {len(notes)} notes, median / 90th percentile: "
              f"{row('step to the line leaving the board', line)}; "
              f"{row('line to Note On', [o - li for o, li in zip(on, line)])}; "
              f"{row('Note On to its sound played', [e - o for e, o in zip(to_ear[board], on)])} "
              f"({row('the synth says', figures['synth_ms'])}, "
              f"{len(notes) - len(figures['synth_ms'])} across an underrun); "
              f"{row('step to sound', to_ear[board])}", flush=True)
    uno, leonardo = (statistics.median(to_ear[board]) for board in ("Uno", "Leonardo"))
    print(f"to the ear, the Leonardo {uno / leonardo:.2f} times sooner than the Uno (median)")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

"""What the whole-instrument test played into QEMU's USB audio device, checked on the
host once the machine is gone, against its "HAND {...}" line: every note of both boards,
each at its pitch, each after a silence (a rest that did not fall silent runs two notes
together), each between its step of the hand and the next; and, from each step to the
moment the first sound of its note was played, figures beside those that the test
measured to the Note On.

QEMU itself loses sound when the host starves it: its audio falls behind, and it throws
away what it held ("Resetting rate control (N frames)", which vm.py stamps with the host's
clock). A note missing there is reported as the emulator's loss; a note missing anywhere
else fails.

When a sample was played: QEMU writes the recording a period at a time as the device
plays it, and vm.py logs the file's size against the host's clock every 2 ms. A sample
was played when the first size that holds it was logged, less the time that the samples
written after it in that growth took to play.

Usage: heard.py DIR OUTPUT (vm.py --sound's DIR; the file holding the machine's output)
"""

import bisect
import json
import os
import re
import statistics
import sys

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from listen import RATE, SILENCE, STEP, heard_as, onsets, percentile  # noqa: E402
from recorded import FRAME, HEADER, read_sizes, read_wav  # noqa: E402

LOUD = 10 ** ((SILENCE + 10) / 20)  # the first sample over this begins a note
DROPPED = re.compile(r"Resetting rate control \((\d+) frames\) at ([\d.]+) on the host's clock")


def played(sizes, frame):
    """The host's time when the recording's sample `frame` was played."""
    need = HEADER + (frame + 1) * FRAME
    t, size = sizes[bisect.bisect_left(sizes, need, key=lambda logged: logged[1])]
    return t - (size - need) / FRAME / RATE


def dropped(lines):
    """Where QEMU threw its audio away: (from, to) on the host's clock."""
    return [(float(at) - int(frames) / RATE, float(at))
            for frames, at in (m.groups() for m in map(DROPPED.search, lines) if m)]


def by_time(times, steps, drops, heard):
    """Each note's onset by the host's clock, steps (host time, note) in order: the first
    played between its step and the next note's, `heard(index, note)` as (ok, what was
    heard). A note with none, or not heard at its pitch, is QEMU's loss where that time
    meets a drop, else the product's; an onset that is no note's first is stray. The
    onset's index for each note heard (None for the others), the product's losses and
    QEMU's, and the stray onsets' times."""
    own, faults, dropped_notes, firsts = [], [], [], set()
    ends = [t for t, _ in steps[1:]] + [float("inf")]
    for (t, note), end in zip(steps, ends):
        mine = [i for i, at in enumerate(times) if t <= at < end][:1]
        firsts.update(mine)
        ok, what = heard(mine[0], note) if mine else (False, "not heard")
        own.append(mine[0] if ok else None)
        if not ok:
            lost = any(start < end and t <= stop for start, stop in drops)
            (dropped_notes if lost else faults).append((round(t, 2), note, what))
    return own, faults, dropped_notes, [round(at, 2) for i, at in enumerate(times)
                                        if i not in firsts]


def row(name, values):
    return f"{name} {statistics.median(values):.1f} / {percentile(values, 0.9):.1f} ms"


def main(folder, output):
    with open(output) as f:
        lines = f.read().splitlines()
    hand = json.loads(next(line for line in lines if line.startswith("HAND "))[5:])
    drops = dropped(lines)
    sound = read_wav(os.path.join(folder, "dac0.wav"))
    sizes = read_sizes(folder, "dac0")
    steps = sorted([(t, note) for figures in hand["boards"].values()
                    for t, what, note in figures["steps"] if what == "note"]
                   + [tuple(hand["plugged_back"])])
    # Where each note begins: its first loud sample, in the 10 ms where the sound rises.
    found = [o + int(numpy.argmax(numpy.abs(sound[o:o + STEP]) > LOUD)) for o in onsets(sound)]
    hold = hand["hold_ms"] / 1000
    own, faults, lost, stray = by_time([played(sizes, o) for o in found], steps, drops,
                                       lambda i, note: heard_as(sound, found[i], note, hold))
    print(f"{hand['accel']}; {hand['synth']}; {len(found)} notes begin after a silence, "
          f"{len(steps)} played; not heard at their pitch {faults}; stray {stray}; lost by "
          f"QEMU where it threw its audio away {drops}: {lost}", flush=True)
    if faults or stray:
        return 1
    heard_at = {t: played(sizes, found[o]) for (t, _), o in zip(steps, own) if o is not None}
    to_ear = {}
    for board, figures in hand["boards"].items():
        played_at = [t for t, what, _ in figures["steps"] if what == "note"]
        mine = [(t, on) for t, on in zip(played_at, figures["to_note_on"]) if t in heard_at]
        to_ear[board] = [(heard_at[t] - t) * 1000 for t, _ in mine]
        line, on = figures["to_line"], figures["to_note_on"]
        print(f"{board}, {len(on)} notes ({len(mine)} heard), median / 90th percentile: "
              f"{row('step to the line leaving the board', line)}; "
              f"{row('line to Note On', [o - li for o, li in zip(on, line)])}; "
              f"{row('Note On to its sound played', [e - o for e, (_, o) in zip(to_ear[board], mine)])} "
              f"({row('the synth says', figures['synth_ms'])}, "
              f"{len(on) - len(figures['synth_ms'])} across an underrun); "
              f"{row('step to sound', to_ear[board])}", flush=True)
    uno, leonardo = (statistics.median(to_ear[board]) for board in ("Uno", "Leonardo"))
    print(f"to the ear, the Leonardo {uno / leonardo:.2f} times sooner than the Uno (median)")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

"""What the soak played, counted on the host once the machine is gone, against its
"SOAK {...}" line: each Note On heard at its pitch in one of QEMU's recordings, each fault
recovered from within its bound, and, outside the faults' windows, no note lost, none heard
twice and none heard that no Note On asked for.

A fault's window runs from its injection to the first note heard after what it took out
is back (the hand's board, or a restarted unit, once it holds what it needs), capped at the
kind's bound from then: the recovery held to that bound. Until then is the emulator's pace.
It opens before the injection by the synth's buffer, a note's hold and a margin: a note still in
the buffer, or sounding, when the fault cuts it is not heard whole either. The DAC plugged
back opens one more, to the first note heard once the synth is on it. A lost note: a
Note On at card 1's port not heard at its pitch before the hand's next note, or a line of
the hand's that gave no Note On before its next. A note whose recording ends while it
sounds is judged on what was recorded, down to what its pitch needs. The recordings are
read in chunks, mapped, never whole: an hour is hundreds of MB each. Where QEMU threw its
audio away, starved by the host (heard.py), is a window too, opened as early.

Usage: soak_heard.py DIR OUTPUT (vm.py --sound's DIR; the file holding the machine's output)
"""

import bisect
import json
import os
import statistics
import sys

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from heard import dropped, played  # noqa: E402
from listen import RATE, SILENCE, STEP, heard_as, level, percentile  # noqa: E402
from recorded import FRAME, HEADER, read_sizes  # noqa: E402

LOUD = 10 ** ((SILENCE + 10) / 20)
QUIET = 0.3  # seconds of silence before a note's onset
# Seconds of a note that tell its pitch: heard_as leaves out 50 ms at each end, and 0.2 s
# tells a semitone from the next at middle C with room to spare.
PITCH = 0.3
# Seconds before a fault beyond the buffer and the hold: QEMU's DAC plays a period of its
# own (10 ms) after the synth's buffer, and the host's clock is read to a few ms.
MARGIN = 0.1


def sound_of(path):
    """A recording's samples in mono, mapped from the file, not read."""
    data = numpy.memmap(path, "<i2", "r", offset=HEADER)
    stereo = data[:len(data) // 2 * 2].reshape(-1, 2)
    return lambda first, last: stereo[first:last].mean(axis=1) / 32768


def onsets(samples, frames, chunk=RATE * 10):
    """The frames where sound begins after QUIET seconds of silence, a chunk at a time."""
    found, still = [], QUIET * 100
    for first in range(0, frames - STEP + 1, chunk):
        part = samples(first, min(frames, first + chunk))
        for i in range(0, len(part) - STEP + 1, STEP):
            loud = level(part[i:i + STEP]) > SILENCE + 10
            if loud and still >= QUIET * 100:
                found.append(first + i + int(numpy.argmax(numpy.abs(part[i:i + STEP]) > LOUD)))
            still = 0 if loud else still + 1
    return found


def main(folder, output):
    with open(output) as f:
        lines = f.read().splitlines()
    soak = json.loads(next(line for line in lines if line.startswith("SOAK "))[5:])
    hold = soak["hold_ms"] / 1000
    # Each recording's onsets, with the host's time each was played.
    sounds = []
    for name in [f"dac{n}" for n in range(soak["plugs"])] + ["hda"]:
        path = os.path.join(folder, name + ".wav")
        if not os.path.exists(path):
            continue
        samples, sizes = sound_of(path), read_sizes(folder, name)
        frames = (os.path.getsize(path) - HEADER) // FRAME
        # A note cut by the recording's end is judged on what it holds.
        sounds += [(played(sizes, o), samples, o, min(hold, (frames - o) / RATE))
                   for o in onsets(samples, frames) if frames - o >= PITCH * RATE]
    sounds.sort(key=lambda s: s[0])
    times = [at for at, *_ in sounds]

    def heard(t, note, until):
        """When the Note On's sound began: the first onset at its pitch from just before
        it (the two clocks are lined up to a few ms) to the hand's next note."""
        for at, samples, o, held in sounds[bisect.bisect_left(times, t - 0.05):]:
            if at > until:
                return None
            if heard_as(samples(o, o + int(held * RATE)), 0, note, held)[0]:
                return at
        return None
    ons = soak["note_ons"]
    cycle = soak["cycle_ms"] / 1000
    nexts = [t for t, _ in ons[1:]] + [ons[-1][0] + cycle] if ons else []
    heard_at = [heard(t, n, min(after, t + cycle)) for (t, n), after in zip(ons, nexts)]
    # Each fault's window: from it to the first note heard once what it took out is back,
    # capped at its bound from then.
    first_after = lambda since: min([at for (t, _), at in zip(ons, heard_at) if at and t > since],
                                    default=None)
    windows, recovery = [], {}  # (kind, start, end); QEMU's own drops of kind None
    for fault in soak["faults"]:
        bound = soak["bounds"][fault["kind"]]
        since = fault.get("back", fault["at"])
        heard_first = first_after(since)
        took = heard_first - since if heard_first else None
        recovery.setdefault(fault["kind"], []).append(took)
        opened = lambda t: t - fault["buffer_ms"] / 1000 - hold - MARGIN
        end = min(heard_first or since + bound, since + bound)
        windows.append((fault["kind"], opened(fault["at"]), end))
        if "replugged" in fault:
            plugged, followed = fault["replugged"]
            end = min(first_after(followed) or followed + bound, followed + bound)
            windows.append((fault["kind"], opened(plugged), end))
    # Where QEMU threw its audio away, starved by the host: a window too, the emulator's.
    buffer = max((f["buffer_ms"] / 1000 for f in soak["faults"]), default=0)
    drops = dropped(lines)
    windows += [(None, start - buffer - hold - MARGIN, stop) for start, stop in drops]
    inside = lambda t: any(start <= t <= end for _, start, end in windows)
    lost = [(t, n, "not heard") for (t, n), at in zip(ons, heard_at) if at is None]
    # Each loud line's Note On: the first after it, before the hand's next loud line.
    lines = soak["lines"]
    to_note_on = []
    for t, after in zip(lines, lines[1:] + [lines[-1] + cycle] if lines else []):
        on = next((on for on, _ in ons[bisect.bisect_left([o for o, _ in ons], t):]
                   if on <= after), None)
        if on is None:
            lost.append((t, None, "no Note On"))
        elif not inside(t):
            to_note_on.append((on - t) * 1000)
    outside = [note for note in lost if not inside(note[0])]
    # Every sound begun after a silence is some Note On's: one heard twice is doubled, one at
    # no Note On's pitch an extra note.
    used = set(heard_at)
    strays = []
    for at, samples, o, held in sounds:
        if at in used or inside(at):
            continue
        before = [(t, n) for t, n in ons if t <= at][-1:]
        again = before and heard_as(samples(o, o + int(held * RATE)), 0, before[0][1], held)[0]
        strays.append((round(at, 2), "doubled" if again else "extra"))
    print(f"{soak['accel']}; seed {soak['seed']}; {soak['hours'] * 60:.1f} minutes; "
          f"{len(ons)} Note Ons, {sum(at is not None for at in heard_at)} heard; "
          f"{len(soak['faults'])} faults")
    print("| fault | times | recovery once back: median | worst | bound "
          "| lost notes inside its windows |")
    print("|---|---|---|---|---|---|")
    failed = bool(outside)
    for kind, took in recovery.items():
        inner = sum(any(k == kind and start <= t <= end for k, start, end in windows)
                    for t, _, _ in lost)
        bound = soak["bounds"][kind]
        done = [t for t in took if t is not None]
        failed |= len(done) < len(took) or any(t > bound for t in done)
        print(f"| {kind} | {len(took)} | "
              f"{statistics.median(done) if done else float('nan'):.1f} s | "
              f"{max(done) if done else float('nan'):.1f} s | {bound} s | {inner} |")
    print("until what each fault took out was back (not held to a bound): " + ", ".join(
        f"{f['kind']} {f['back'] - f['at']:.1f} s" for f in soak["faults"] if "back" in f))
    print(f"lost outside the windows: {len(outside)} {outside[:10]}; QEMU threw its audio "
          f"away {len(drops)} times, over {sum(b - a for a, b in drops):.1f} s")
    # How long each step took outside the faults' windows, reported: an emulated machine's
    # load sets them, not the product.
    to_sound = [(at - t) * 1000 for (t, _), at in zip(ons, heard_at) if at and not inside(t)]
    for name, values in (("line to Note On", to_note_on), ("Note On to its sound", to_sound)):
        if values:
            print(f"{name}, outside the windows: median {statistics.median(values):.0f} ms, "
                  f"90th percentile {percentile(values, 0.9):.0f} ms, worst {max(values):.0f} ms")
    print(f"restarts: {soak['restarts']} (faults that warrant one: {soak['expected_restarts']})")
    print(f"doubled or extra notes outside the windows: {len(strays)} {strays[:10]}")
    failed |= bool(strays)
    tail = soak["tail"]
    print(f"over the quiet tail ({soak['tail_minutes']:g} minutes), each program's first and "
          f"last: {[(unit, tail[0][unit], tail[-1][unit]) for unit in tail[0]]}")
    print(f"the synth after each follow of the DAC: {soak['follows']}")
    print(f"auto's climbs and descents (s since the start, from, to): {soak['climbs']}")
    print("journal, bytes an hour: " + ", ".join(
        f"{unit} {rate:.0f}" for unit, rate in soak["journal_bytes_per_hour"].items()))
    busy = [(f["underruns"], f["climbs"]) for f in soak["faults"] if f["kind"] == "busy"]
    print(f"underruns while both processors were busy, and the climbs they caused: {busy}")
    print(f"programs sent: {soak['programs']}; the synth at the end: {soak['synth_status']}")
    failed |= soak["programs"] != [101, 66]
    if failed:
        print(f"FAILED; to play this run again: tests/vm/service.sh BUILD_DIR soak "
              f"{soak['minutes']:g} {soak['seed']}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

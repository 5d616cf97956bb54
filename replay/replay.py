"""Replays a recorded sensor session through the real sensormidi binary.

Usage: replay.py BINARY RECORDER SESSION OUTDIR

A session file holds the sensor's own lines, each after the time it arrived
in seconds from the start: "0.250 215,180|0". Blank lines and lines starting
with '#' are skipped. Each line is sent with CR LF, as the sensor ends it.

Writes into OUTDIR, named after the session: NAME.mid (every message the
program sent, at its time), NAME.wav (rendered with FluidSynth), NAME.svg
(the piano roll) and NAME.notes.txt (the note log).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import pianoroll  # noqa: E402
import rig  # noqa: E402
import smf  # noqa: E402

SOUND_FONTS = ["/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2"]
READING = re.compile(rb"^\s*(-?\d+)\s*,\s*(-?\d+)\s*\|\s*(-?\d+)")


def read_session(path):
    lines = []
    with open(path, "rb") as f:
        for number, raw in enumerate(f, 1):
            raw = raw.rstrip(b"\r\n")
            if not raw.strip() or raw.startswith(b"#"):
                continue
            stamp, _, line = raw.partition(b" ")
            try:
                lines.append((float(stamp), line))
            except ValueError:
                sys.exit(f"{path}:{number}: expected '<seconds> <sensor line>', got {raw!r}")
    return sorted(lines, key=lambda entry: entry[0])


def readings(session):
    out = []
    for t, line in session:
        m = READING.match(line)
        # A switch line's readings are not played; leave it out of the picture.
        if m and int(m.group(3)) == 0:
            out.append((t, int(m.group(1)), int(m.group(2))))
    return out


def play(binary, recorder, session, work):
    sensor = rig.Sensor()
    program = rig.Program(binary, recorder, work)
    rig.wait_idle(program, sensor)
    start = time.monotonic()
    for t, line in session:
        delay = start + t - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sensor.send(line + b"\r\n")
    rig.wait_idle(program, sensor, timeout=60)
    time.sleep(0.2)  # let the note log reach us
    calls = program.calls()
    program.stop()
    sensor.unplug()
    messages = [(c.time - start, bytes(int(b, 16) for b in c.text.split()[1:]))
                for c in calls if c.name == "write"]
    return messages, program.out


def render(midi, wav):
    font = next((f for f in SOUND_FONTS if os.path.exists(f)), None)
    if not shutil.which("fluidsynth") or not font:
        sys.exit("cannot render the WAV file: install fluidsynth and a General MIDI sound font "
                 "(sudo apt-get install fluidsynth timgm6mb-soundfont; replay/run does it)")
    subprocess.run(["fluidsynth", "-ni", "-q", "-g", "0.8", "-r", "44100", "-F", wav, font, midi],
                   check=True, stdout=subprocess.DEVNULL)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    binary, recorder, session_path, outdir = (os.path.abspath(a) for a in sys.argv[1:])
    session = read_session(session_path)
    rig.enter_namespace()
    name = os.path.splitext(os.path.basename(session_path))[0]
    os.makedirs(outdir, exist_ok=True)
    base = os.path.join(outdir, name)
    with tempfile.TemporaryDirectory(prefix="sensormidi-replay-") as work:
        messages, notes = play(binary, recorder, session, work)
    with open(base + ".mid", "wb") as f:
        f.write(smf.smf(messages))
    with open(base + ".notes.txt", "w") as f:
        f.write("".join(n + "\n" for n in notes))
    with open(base + ".svg", "w") as f:
        f.write(pianoroll.svg(messages, readings(session), f"sensormidi: {name}"))
    render(base + ".mid", base + ".wav")
    for ext in (".mid", ".wav", ".svg", ".notes.txt"):
        print(base + ext)


if __name__ == "__main__":
    main()

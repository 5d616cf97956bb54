"""Replays a recorded sensor session through the real sensormidi binary.

Usage: replay.py BINARY RECORDER SESSION OUTDIR

A session file holds the sensor's own lines, each after the time it arrived
in seconds from the start: "0.250 215,180|0". Blank lines and lines starting
with '#' are skipped. Each line is sent with CR LF, as the sensor ends it.

The program is ended with SIGTERM after the last line, as a user ends it, so
the Note Off it sends on the way out is part of the recording.

Writes into OUTDIR, named after the session: NAME.mid (every message the
program sent, at its time), NAME.wav (rendered with FluidSynth, ending a short
while after the last message), NAME.svg (the piano roll) and NAME.notes.txt
(the note log). Needs Debian's python3-mido.
"""

import array
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

import mido

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import pianoroll  # noqa: E402
import rig  # noqa: E402

SOUND_FONTS = ["/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2"]
TICKS_PER_BEAT = 1000
TEMPO = 500000  # 120 beats a minute, so a tick is half a millisecond
TAIL = 2.0      # seconds of sound kept after the last message: the last note's release
FADE = 0.25     # seconds of fade at the cut
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
    program.stop(signal.SIGTERM)
    calls = program.calls()
    sensor.unplug()
    messages = [(c.time - start, c.data) for c in calls if c.name == "write"]
    return messages, program.out


def write_midi(messages, path):
    """A format-0 Standard MIDI File of (seconds, bytes) in time order."""
    track = mido.MidiTrack([mido.MetaMessage("set_tempo", tempo=TEMPO)])
    last = 0
    for seconds, data in messages:
        tick = max(last, round(mido.second2tick(seconds, TICKS_PER_BEAT, TEMPO)))
        track.append(mido.Message.from_bytes(data, time=tick - last))
        last = tick
    mido.MidiFile(type=0, ticks_per_beat=TICKS_PER_BEAT, tracks=[track]).save(path)


def cut(wav, seconds):
    """Makes the WAV file last `seconds`, padded with silence or cut with a fade."""
    with wave.open(wav, "rb") as w:
        params = w.getparams()
        samples = array.array("h", w.readframes(w.getnframes()))
    if params.sampwidth != 2 or sys.byteorder != "little":
        sys.exit(f"{wav}: expected 16-bit little-endian samples")
    want = round(seconds * params.framerate) * params.nchannels
    samples = samples[:want] + array.array("h", bytes(2 * max(0, want - len(samples))))
    fade = round(FADE * params.framerate) * params.nchannels
    for i in range(max(0, want - fade), want):
        samples[i] = int(samples[i] * (want - i) / fade)
    with wave.open(wav, "wb") as w:
        w.setparams(params)
        w.writeframes(samples.tobytes())


def render(midi, wav, seconds):
    font = next((f for f in SOUND_FONTS if os.path.exists(f)), None)
    if not shutil.which("fluidsynth") or not font:
        sys.exit("cannot render the WAV file: install fluidsynth and a General MIDI sound font "
                 "(sudo apt-get install fluidsynth timgm6mb-soundfont; replay/run does it)")
    subprocess.run(["fluidsynth", "-ni", "-q", "-g", "0.8", "-r", "44100", "-F", wav, font, midi],
                   check=True, stdout=subprocess.DEVNULL)
    cut(wav, seconds)


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
    write_midi(messages, base + ".mid")
    with open(base + ".notes.txt", "w") as f:
        f.write("".join(n + "\n" for n in notes))
    with open(base + ".svg", "w") as f:
        f.write(pianoroll.svg(messages, readings(session), f"sensormidi: {name}"))
    render(base + ".mid", base + ".wav", messages[-1][0] + TAIL if messages else TAIL)
    for ext in (".mid", ".wav", ".svg", ".notes.txt"):
        print(base + ext)


if __name__ == "__main__":
    main()

"""What the synth played, as the tests hear it: loudness, the notes of the scale in a
sound, and where notes begin in a recording. Used inside the guest (the loopback
card's recording) and on the host (the recordings of QEMU's sound cards)."""

import numpy

RATE = 48000
SILENCE = -60  # dBFS: FluidSynth's own floor is near -90
SCALE = (60, 62, 64, 65, 67, 69, 71, 72)
STEP = RATE // 100  # 10 ms
# The notes that the sound card test plays into each of QEMU's recordings, in order:
# the USB DAC as first plugged in, the codec while it is out, the DAC plugged back (the
# synth restarted by its watchdog on it), the DAC plugged back once more as the device
# named by hand.
PLUGGED = (("dac0", (60, 64, 67)), ("hda", (62, 65)), ("dac1", (69, 72, 71)), ("dac2", (60, 64)))
HOLD, REST = 0.8, 1.2  # seconds that test holds each note, and rests after it


def level(sound):
    """Loudness in dB below full scale."""
    return 20 * numpy.log10(numpy.sqrt(numpy.mean(sound ** 2)) + 1e-9)


def tones(sound):
    """For each note of the scale and of the octave below it, the strongest frequency
    within half a semitone of its fundamental, in dB against the strongest of all."""
    spectrum = numpy.abs(numpy.fft.rfft(sound * numpy.hanning(len(sound))))
    freqs = numpy.fft.rfftfreq(len(sound), 1 / RATE)
    top = spectrum[freqs > 50].max()
    near = lambda f: (freqs > f * 2 ** (-1 / 24)) & (freqs < f * 2 ** (1 / 24))
    return {n: round(20 * numpy.log10(spectrum[near(440 * 2 ** ((n - 69) / 12))].max() / top), 1)
            for n in SCALE + tuple(n - 12 for n in SCALE)}


def is_note(sound, note):
    """The note's fundamental is strong, and stronger than any other note's but the
    octave above (a piano's second harmonic can be its loudest). The octave below
    counts: a note played an octave low has its second harmonic here. With what was
    heard, for a failure's message."""
    heard = tones(sound)
    others = [db for n, db in heard.items() if n not in (note, note + 12)]
    return heard[note] > max(-10, max(others) + 6), heard


def heard_as(sound, onset, note, hold):
    """Whether the note that begins at frame `onset` sounds at its pitch while it is held
    (`hold` seconds): from 50 ms in, past the attack, to 50 ms before its release, which
    blurs the pitch as the next note's onset would; with what was heard."""
    return is_note(sound[onset + RATE // 20:onset + int((hold - 0.05) * RATE)], note)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


def onsets(sound, quiet=0.3):
    """The frames where a note begins: sound, 10 dB over the silence, after at least
    `quiet` seconds under that."""
    levels = [level(sound[i:i + STEP]) for i in range(0, len(sound) - STEP + 1, STEP)]
    found, still = [], quiet * 100
    for i, db in enumerate(levels):
        loud = db > SILENCE + 10
        if loud and still >= quiet * 100:
            found.append(i * STEP)
        still = 0 if loud else still + 1
    return found

"""Writes the two shipped sessions into sessions/: run it again after changing it.

sweep:   a hand sweeping up and down the scale, louder and softer, 20 s.
changes: a tune with instrument changes and silences, 22 s.
The sensor sends a line every 40 ms.
"""

import math
import os

STEP = 0.04
HERE = os.path.dirname(os.path.abspath(__file__))


def write(name, comment, lines):
    with open(os.path.join(HERE, "sessions", name + ".session"), "w") as f:
        f.write(f"# {comment}\n# seconds, then the line as the sensor sent it\n")
        for t, pitch, volume, switch in lines:
            f.write(f"{t:.3f} {pitch},{volume}|{switch}\n")


def sweep():
    lines = []
    for i in range(int(20 / STEP)):
        t = i * STEP
        phase = (t % 5) / 5                      # up for 2.5 s, down for 2.5 s
        pitch = 30 + 360 * (1 - abs(2 * phase - 1))
        volume = 200 + 120 * math.sin(t / 20 * 2 * math.pi * 1.5)
        lines.append((t, round(pitch), round(volume), 0))
    return lines


def changes():
    # (seconds it lasts, pitch, volume, switch) for each gesture
    score = [
        (1.0, 50, 320, 0), (0.5, 100, 320, 0), (0.5, 140, 320, 0), (0.5, 180, 320, 0),
        (0.0, 0, 0, 1), (1.2, 0, 0, None),            # switch pressed; hand away during the pause
        (0.6, 230, 180, 0), (0.6, 280, 180, 0), (0.6, 330, 180, 0), (0.6, 380, 180, 0),
        (1.0, 380, 40, 0),                             # hand lifted: silence
        (0.6, 280, 260, 0), (0.6, 180, 260, 0),
        (0.0, 0, 0, 1), (1.2, 0, 0, None),
        (0.6, 100, 120, 0), (0.6, 230, 120, 0), (0.6, 100, 120, 0),
        (1.0, 100, 20, 0),
        (0.0, 0, 0, 1), (1.2, 0, 0, None),
        (0.6, 380, 350, 0), (0.6, 330, 240, 0), (0.6, 280, 160, 0), (0.6, 230, 100, 0),
        (0.0, 0, 0, 1), (1.2, 0, 0, None),
        (0.8, 50, 330, 0), (0.8, 380, 330, 0),
        (1.0, 380, 0, 0),
    ]
    lines, t = [], 0.0
    for seconds, pitch, volume, switch in score:
        if switch is None:
            t += seconds
        elif seconds == 0:
            lines.append((round(t, 3), pitch, volume, switch))
            t += STEP
        else:
            for _ in range(round(seconds / STEP)):
                lines.append((round(t, 3), pitch, volume, switch))
                t += STEP
    return lines


if __name__ == "__main__":
    os.makedirs(os.path.join(HERE, "sessions"), exist_ok=True)
    write("sweep", "A hand sweeping up and down the scale at changing volume.", sweep())
    write("changes", "A tune with instrument changes and silences.", changes())

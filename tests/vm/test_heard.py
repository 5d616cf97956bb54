"""The recordings' checks pair each note with its onset by the host's clock: a note QEMU
threw away is its loss, any other missing note the product's, and nothing shifts."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from heard import by_time, dropped  # noqa: E402

STEPS = [(10.0, 60), (11.2, 62), (12.4, 64), (13.6, 65)]
DROP = dropped(["test_1 (Instrument.test_1) ... Resetting rate control (48000 frames) at 13.000 "
                "on the host's clock"])


class ByTime(unittest.TestCase):
    def test_table(self):
        # onsets (host time, pitch heard), drops -> the product's losses, QEMU's, strays
        a, b, c, d = (10.1, 60), (11.3, 62), (12.5, 64), (13.7, 65)
        cases = [
            ([a, b, c, d], [], ([], [], [])),
            ([a, b, d], [], ([(12.4, 64, "not heard")], [], [])),
            ([a, b, d], DROP, ([], [(12.4, 64, "not heard")], [])),
            ([a, b, c], DROP, ([(13.6, 65, "not heard")], [], [])),
            ([a, b, (12.5, 67), d], [], ([(12.4, 64, "67")], [], [])),
            ([a, (10.6, 60), b, c, d], [], ([], [], [10.6])),
            ([(9.9, 60), a, b, c, d], [], ([], [], [9.9])),
        ]
        for onsets, drops, want in cases:
            heard = lambda i, note: (onsets[i][1] == note, str(onsets[i][1]))
            with self.subTest(onsets=onsets, drops=drops):
                times = [t for t, _ in onsets]
                self.assertEqual(by_time(times, STEPS, drops, heard)[1:], want)

if __name__ == "__main__":
    unittest.main()

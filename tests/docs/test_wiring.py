"""The wiring picture against the sketch: each pin that docs/wiring.svg names for one of the
sketch's pins (its data-pin) is the sketch's own, on every board drawn, and every pin the
sketch uses is drawn on each.

Usage: test_wiring.py SOURCE_DIR
"""

import os
import re
import sys
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE = None
PINS = ("PITCH_PIN", "VOLUME_PIN", "SWITCH_PIN")
BOARDS = 2  # the Uno, and the Pro Micro


class Wiring(unittest.TestCase):
    def test_the_pictures_pins_are_the_sketchs(self):
        with open(os.path.join(SOURCE, "firmware", "sensor", "sensor.ino")) as f:
            sketch = dict(re.findall(r"const int (\w+_PIN) = (\w+);", f.read()))
        svg = ElementTree.parse(os.path.join(SOURCE, "docs", "wiring.svg"))
        drawn = [(e.get("data-pin"), e.text) for e in svg.iter() if e.get("data-pin")]
        for pin in PINS:
            labels = [text for name, text in drawn if name == pin]
            self.assertEqual(labels, [sketch[pin]] * BOARDS, pin)
        self.assertEqual(sorted({name for name, _ in drawn}), sorted(PINS))


if __name__ == "__main__":
    SOURCE = sys.argv[1]
    unittest.main(argv=sys.argv[:1] + sys.argv[2:])

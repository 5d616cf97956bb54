"""Latency on the real kernel stack, inside the virtual machine of tests/vm:
from a line written into the USB sensor's side of the serial link to the
Note On received on the USB synth's side, for the real program and for a
trivial relay in its place (the machine alone).

Usage (inside the guest; bench/vm-run boots it): vm_bench.py BINARY RELAY [LINES]
"""

import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "vm"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import guest  # noqa: E402
from rig import Program  # noqa: E402

NOTES = ["100,400|0\r\n", "300,400|0\r\n"]  # every line a note change


def delays(binary, sensor, synth, count):
    """Milliseconds from each line's write to the first byte of its Note On."""
    program = Program(binary, None, "/tmp")
    guest.wait(lambda: guest.applied(guest.port_settings()), "the port settings")
    out = []
    for i in range(count + 5):
        time.sleep(0.02)  # one line at a time, each into a quiet machine
        heard = len(synth.received)
        sent = time.monotonic()
        sensor.send(NOTES[i % 2])
        synth.wait_bytes(heard + 6)
        if i >= 5:  # the first lines warm the caches
            out.append((synth.received[heard + 3][0] - sent) * 1000)
    program.stop()
    return sorted(out)


def main():
    binary, relay = sys.argv[1:3]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    sensor, synth = guest.devices()
    sensor.plug()
    synth.plug()
    rows = []
    results = {}
    for name, path in (("sensormidi", binary), ("relay (machine alone)", relay)):
        d = delays(path, sensor, synth, count)
        results[name] = d
        rows.append((name, statistics.median(d), d[int(len(d) * 0.99) - 1], d[-1]))
    (_, p50, p99, top), (_, b50, b99, btop) = rows
    rows.append(("added by the program", p50 - b50, p99 - b99, top - btop))
    print(f"accelerator: {os.environ.get('VM_ACCEL', '?')}; {count} lines each")
    print("| path | median | 99th percentile | max |")
    print("|---|---|---|---|")
    for name, a, b, c in rows:
        print(f"| {name} | {a:.3f} ms | {b:.3f} ms | {c:.3f} ms |")


if __name__ == "__main__":
    main()

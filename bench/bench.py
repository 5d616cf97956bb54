"""Latency, throughput and idle cost of the real sensormidi binary, on the
end-to-end rig (private /dev, pty sensor, recording stand-in for alsa-lib).

Usage: bench.py BINARY RECORDER STANDIN_COST
"""

import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import rig  # noqa: E402

LINE_MS = 11 * 10 / 9600 * 1000   # one 11-byte line at 9600 baud, 10 bits a byte
LINK_LINES = 1000 / LINE_MS        # lines per second the link can carry
MIDI_MS = 3 * 10 / 31250 * 1000   # one 3-byte message on the MIDI wire
NOTES = [b"100,400|0\r\n", b"300,400|0\r\n"]  # every line a note change


def note_ons(program):
    return [c for c in program.calls() if c.name == "write" and c.text.startswith("write 90")]


def rss_peak_kib(program):
    with open(f"/proc/{program.pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def latency(binary, recorder, work, count=500):
    sensor = rig.Sensor()
    program = rig.Program(binary, recorder, work)
    rig.wait_idle(program, sensor)
    seen, delays = 0, []
    for i in range(count):
        rig.wait_idle(program, sensor)
        sent = time.monotonic()
        sensor.send(NOTES[i % 2])
        ons = rig.wait_for(lambda: len(note_ons(program)) > seen and note_ons(program))
        seen = len(ons)
        delays.append((ons[-1].time - sent) * 1000)
    program.stop()
    sensor.unplug()
    delays.sort()
    return delays


def burst(binary, recorder, work, count=20000):
    sensor = rig.Sensor()
    program = rig.Program(binary, recorder, work)
    rig.wait_idle(program, sensor)
    cpu_before = program.cpu()
    data = b"".join(NOTES[i % 2] for i in range(count))
    start = time.monotonic()
    sensor.send(data)
    rig.wait_idle(program, sensor, timeout=120)
    ons = note_ons(program)
    elapsed = ons[-1].time - start
    cpu = program.cpu() - cpu_before
    peak = rss_peak_kib(program)
    program.stop()
    sensor.unplug()
    return count / elapsed, count - len(ons), cpu / count * 1e6, peak


def idle_cpu(binary, recorder, work, state, seconds=10):
    sensor = None if state == "sensor absent" else rig.Sensor()
    settings = {"MIDIREC_OPEN_OK_AT": 0} if state == "MIDI output absent" else {}
    program = rig.Program(binary, recorder, work, **settings)
    time.sleep(0.5)
    if sensor:
        sensor.send(b"215,180|0\r\n")
        rig.wait_idle(program, sensor)
    before = program.cpu()
    time.sleep(seconds)
    used = program.cpu() - before
    program.stop()
    if sensor:
        sensor.unplug()
    return used


def main():
    binary, recorder, standin_cost = (os.path.abspath(a) for a in sys.argv[1:4])
    rig.enter_namespace()
    work = tempfile.mkdtemp(prefix="sensormidi-bench-")
    per_call = float(subprocess.run([standin_cost], env={"MIDIREC_LOG": os.path.join(work, "cost.log")},
                                    capture_output=True, text=True, check=True).stdout)
    os.unlink(os.path.join(work, "cost.log"))

    delays = latency(binary, recorder, work)
    os.unlink(os.path.join(work, "midi.log"))
    rate, lost, cpu_line, peak = burst(binary, recorder, work)
    os.unlink(os.path.join(work, "midi.log"))
    idle = {s: idle_cpu(binary, recorder, work, s)
            for s in ("port open and silent", "sensor absent", "MIDI output absent")}

    p50, p99 = statistics.median(delays), delays[int(len(delays) * 0.99) - 1]
    standin_line = 4 * per_call  # Note Off, drain, Note On, drain
    rows = [
        ("latency, line written to Note On: median", f"{p50:.3f} ms", f"{p50 / LINE_MS:.4f} of a line time"),
        ("latency: 99th percentile", f"{p99:.3f} ms", f"{p99 / LINE_MS:.4f} of a line time"),
        ("latency: max", f"{delays[-1]:.3f} ms", f"{delays[-1] / MIDI_MS:.2f} MIDI messages"),
        ("throughput, 20,000-line burst", f"{rate:,.0f} lines/s", f"{rate / LINK_LINES:,.0f} x the link"),
        ("lines lost in the burst", f"{lost}", ""),
        ("CPU per line in the burst", f"{cpu_line:.1f} us", f"of it stand-in: {standin_line:.1f} us"),
    ]
    rows += [(f"CPU over 10 s: {s}", f"{v:.2f} s", f"{round(v * rig.TICK)} ticks") for s, v in idle.items()]
    rows.append(("peak resident memory", f"{peak / 1024:.2f} MiB", ""))
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, kernel {platform.release()}, "
          f"{platform.python_implementation()} rig; {len(delays)} latency samples")
    print("| measure | value | against the physical limits |")
    print("|---|---|---|")
    for name, value, ratio in rows:
        print(f"| {name} | {value} | {ratio} |")


if __name__ == "__main__":
    main()

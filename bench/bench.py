"""Latency, throughput and idle cost of the real sensormidi binary, on the
end-to-end rig (private /dev, pty sensor, recording stand-in for alsa-lib).

Usage: bench.py BINARY RECORDER STANDIN_COST PTYREADER
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


def timed(sensor, events, count):
    """Sends `count` lines one at a time; each delay runs from the write of a line to
    the first new time that events() returns for it."""
    delays = []
    for i in range(count):
        time.sleep(0.005)
        seen = len(events())
        sent = time.monotonic()
        sensor.send(NOTES[i % 2])
        new = rig.wait_for(lambda: len(events()) > seen and events())
        delays.append((new[seen] - sent) * 1000)
    return sorted(delays)


def latency(binary, recorder, work, count=500):
    sensor = rig.Sensor()
    program = rig.Program(binary, recorder, work)
    delays = timed(sensor, lambda: [c.time for c in note_ons(program)], count)
    program.stop()
    sensor.unplug()
    return delays


def wakeup(ptyreader, work, count=500):
    """The same lines to a reader that only wakes up and notes the time."""
    sensor = rig.Sensor()
    log = os.path.join(work, "wakeup.log")
    reader = subprocess.Popen([ptyreader, rig.PORT, log])
    rig.wait_for(lambda: os.path.exists(log))
    state = {"pos": 0, "times": []}

    def times():
        with open(log, "rb") as f:
            f.seek(state["pos"])
            new = f.read()
        whole = new[:new.rfind(b"\n") + 1]
        state["pos"] += len(whole)
        state["times"] += [float(t) for t in whole.split()]
        return state["times"]

    delays = timed(sensor, times, count)
    reader.kill()
    reader.wait()
    sensor.unplug()
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
    binary, recorder, standin_cost, ptyreader = (os.path.abspath(a) for a in sys.argv[1:5])
    rig.enter_namespace()
    work = tempfile.mkdtemp(prefix="sensormidi-bench-")
    per_call = float(subprocess.run([standin_cost], env={"MIDIREC_LOG": os.path.join(work, "cost.log")},
                                    capture_output=True, text=True, check=True).stdout)
    os.unlink(os.path.join(work, "cost.log"))

    base = wakeup(ptyreader, work)
    delays = latency(binary, recorder, work)
    os.unlink(os.path.join(work, "midi.log"))
    rate, lost, cpu_line, peak = burst(binary, recorder, work)
    os.unlink(os.path.join(work, "midi.log"))
    idle = {s: idle_cpu(binary, recorder, work, s)
            for s in ("port open and silent", "sensor absent", "MIDI output absent")}

    pct = lambda d, q: d[int(len(d) * q) - 1]
    p50, p99 = statistics.median(delays), pct(delays, 0.99)
    b50, b99 = statistics.median(base), pct(base, 0.99)
    standin_line = 4 * per_call  # Note Off, drain, Note On, drain
    rows = [
        ("latency, line written to Note On: median", f"{p50:.3f} ms", f"{p50 / LINE_MS:.4f} of a line time"),
        ("latency: 99th percentile", f"{p99:.3f} ms", f"{p99 / LINE_MS:.4f} of a line time"),
        ("latency: max", f"{delays[-1]:.3f} ms", f"{delays[-1] / MIDI_MS:.2f} MIDI message times"),
        ("machine alone (pty and wake-up): median, 99th", f"{b50:.3f}, {b99:.3f} ms", ""),
        ("added by the program: median, 99th", f"{p50 - b50:.3f}, {p99 - b99:.3f} ms",
         f"{(p99 - b99) / LINE_MS:.4f} of a line time"),
        ("throughput, 20,000-line burst", f"{rate:,.0f} lines/s", f"{rate / LINK_LINES:,.0f} x the link"),
        ("lines lost in the burst", f"{lost}", ""),
        ("CPU per line in the burst", f"{cpu_line:.1f} us",
         f"{cpu_line / 1000 / LINE_MS:.4f} of a core at the link's full rate; "
         f"of it the stand-in: {standin_line:.1f} us"),
    ]
    rows += [(f"CPU over 10 s: {s}", f"{v:.2f} s", f"{round(v * rig.TICK)} ticks") for s, v in idle.items()]
    rows.append(("peak resident memory, after the burst", f"{peak / 1024:.2f} MiB", ""))
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), platform.machine())
    print(f"machine: {model}, {os.cpu_count()} cores, Linux {platform.release()}; "
          f"{len(delays)} latency samples")
    print("| measure | value | against the physical limits |")
    print("|---|---|---|")
    for name, value, ratio in rows:
        print(f"| {name} | {value} | {ratio} |")


if __name__ == "__main__":
    main()

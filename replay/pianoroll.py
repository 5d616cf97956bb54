"""A piano-roll picture (SVG) of what the instrument played: notes over time
shaded by velocity, instrument changes marked, and the sensor's pitch and
volume readings beneath."""

from xml.sax.saxutils import escape

NAMES = {60: "C4", 62: "D4", 64: "E4", 65: "F4", 67: "G4", 69: "A4", 71: "B4", 72: "C5"}
LOW, HIGH = 59, 73          # note rows shown
LEFT, WIDTH = 50, 900       # plot area, pixels
ROW = 14                    # pixels per semitone
ROLL_TOP = 30
READINGS_HEIGHT = 160
READINGS_MAX = 450


def notes_from(messages, end):
    """(start, end, note, velocity) for every Note On with a velocity, ended by its Note Off."""
    sounding, notes = {}, []
    for t, data in messages:
        status = data[0] & 0xF0
        if status == 0x80 and data[1] in sounding:
            start, vel = sounding.pop(data[1])
            notes.append((start, t, data[1], vel))
        elif status == 0x90 and data[2] > 0:
            sounding[data[1]] = (t, data[2])
    notes += [(start, end, n, vel) for n, (start, vel) in sounding.items()]
    return notes


def svg(messages, readings, title):
    """messages: (seconds, bytes); readings: (seconds, pitch, volume)."""
    end = max([t for t, _ in messages] + [t for t, _, _ in readings] + [1.0]) + 0.5
    x = lambda t: LEFT + t / end * WIDTH
    roll_bottom = ROLL_TOP + (HIGH - LOW) * ROW
    y_note = lambda n: roll_bottom - (n - LOW) * ROW
    read_top = roll_bottom + 40
    read_bottom = read_top + READINGS_HEIGHT
    y_read = lambda v: read_bottom - max(0, min(v, READINGS_MAX)) / READINGS_MAX * READINGS_HEIGHT
    height = read_bottom + 40
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{LEFT + WIDTH + 20}" height="{height}" '
           f'font-family="sans-serif" font-size="11">',
           f'<rect width="100%" height="100%" fill="white"/>',
           f'<text x="{LEFT}" y="18" font-size="14">{escape(title)}</text>']
    for n in range(LOW + 1, HIGH):
        fill = "#f4f4f4" if n in NAMES else "#e4e4e4"
        out.append(f'<rect x="{LEFT}" y="{y_note(n) - ROW}" width="{WIDTH}" height="{ROW}" fill="{fill}"/>')
        if n in NAMES:
            out.append(f'<text x="{LEFT - 30}" y="{y_note(n) - 3}">{NAMES[n]}</text>')
    for second in range(int(end) + 1):
        out.append(f'<line x1="{x(second):.1f}" y1="{ROLL_TOP}" x2="{x(second):.1f}" y2="{read_bottom}" '
                   f'stroke="#ccc" stroke-width="0.5"/>')
        out.append(f'<text x="{x(second):.1f}" y="{height - 10}" text-anchor="middle">{second}s</text>')
    for start, stop, n, vel in notes_from(messages, end):
        shade = 1 - vel / 127
        color = f"rgb({int(40 + 200 * shade)},{int(60 + 180 * shade)},{int(160 + 90 * shade)})"
        out.append(f'<rect class="note" x="{x(start):.1f}" y="{y_note(n) - ROW + 1}" '
                   f'width="{max(1.0, x(stop) - x(start)):.1f}" height="{ROW - 2}" fill="{color}" '
                   f'stroke="#123" stroke-width="0.5"><title>note {n} velocity {vel}</title></rect>')
    for t, data in messages:
        if data[0] & 0xF0 == 0xC0:
            out.append(f'<line class="program" x1="{x(t):.1f}" y1="{ROLL_TOP}" x2="{x(t):.1f}" '
                       f'y2="{roll_bottom}" stroke="#c00" stroke-dasharray="4 3"/>')
            out.append(f'<text x="{x(t) + 3:.1f}" y="{ROLL_TOP + 10}" fill="#c00">program {data[1]}</text>')
    out.append(f'<text x="{LEFT}" y="{read_top - 8}">sensor readings: '
               f'<tspan fill="#1f5fbf">pitch</tspan>, <tspan fill="#d2691e">volume</tspan> '
               f'(silent at 90 and below)</text>')
    out.append(f'<rect x="{LEFT}" y="{read_top}" width="{WIDTH}" height="{READINGS_HEIGHT}" '
               f'fill="none" stroke="#999"/>')
    out.append(f'<line x1="{LEFT}" y1="{y_read(90):.1f}" x2="{LEFT + WIDTH}" y2="{y_read(90):.1f}" '
               f'stroke="#d2691e" stroke-dasharray="2 3"/>')
    for value in (0, 200, 400):
        out.append(f'<text x="{LEFT - 30}" y="{y_read(value) + 4:.1f}">{value}</text>')
    for index, color in ((1, "#1f5fbf"), (2, "#d2691e")):
        points = " ".join(f"{x(r[0]):.1f},{y_read(r[index]):.1f}" for r in readings)
        out.append(f'<polyline points="{points}" fill="none" stroke="{color}" stroke-width="1.5"/>')
    out.append("</svg>")
    return "\n".join(out) + "\n"

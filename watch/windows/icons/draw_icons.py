#!/usr/bin/env python3
"""Draws the watcher's notification-area icons, one per state, each shape its own so that colour
is never all that tells them apart: online a green disc with a tick, offline a red octagon with a
bar across it (no way through; never a square with a cross, which reads as a window's close
button), the log unwritable an amber triangle with an exclamation mark. Writes the .ico files beside
this script (16 to 48 pixels, 32-bit) and a picture of all three for the README.
usage: draw_icons.py [README_PICTURE.png]"""
import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [16, 20, 24, 32, 40, 48]
SAMPLES = 6  # per pixel side, for smooth edges


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def on_polyline(x, y, points, width):
    return any(segment_distance(x, y, *points[i], *points[i + 1]) <= width / 2
               for i in range(len(points) - 1))


def inside_triangle(x, y):
    # Point up, corners a little rounded by the outline.
    a, b, c = (0.5, 0.06), (0.96, 0.90), (0.04, 0.90)
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    return side(a, b) >= 0 and side(b, c) >= 0 and side(c, a) >= 0


def inside_octagon(x, y, apothem=0.45):
    dx, dy = abs(x - 0.5), abs(y - 0.5)
    return dx <= apothem and dy <= apothem and dx + dy <= apothem * math.sqrt(2)


STATES = {
    # name: (fill colour, inside, mark colour, mark)
    "online": ((46, 125, 50), lambda x, y: math.hypot(x - 0.5, y - 0.5) <= 0.46,
               (255, 255, 255), lambda x, y, w: on_polyline(x, y, [(0.26, 0.52), (0.43, 0.69), (0.75, 0.34)], w)),
    "offline": ((198, 40, 40), inside_octagon,
                (255, 255, 255), lambda x, y, w: on_polyline(x, y, [(0.27, 0.5), (0.73, 0.5)], w * 1.4)),
    "unwritable": ((249, 168, 37), inside_triangle,
                   (33, 33, 33), lambda x, y, w: on_polyline(x, y, [(0.5, 0.36), (0.5, 0.62)], w)
                   or math.hypot(x - 0.5, y - 0.77) <= w * 0.6),
}
OUTLINE = (31, 31, 31)


def render(state, size):
    fill, inside, mark_colour, mark = STATES[state]
    # Strokes at least a pixel and a half wide at 16 pixels, so the mark reads.
    width = max(0.13, 1.6 / size)
    edge = max(1.0 / size, 0.035)
    pixels = []
    for row in range(size):
        for column in range(size):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (column + (sx + 0.5) / SAMPLES) / size
                    y = (row + (sy + 0.5) / SAMPLES) / size
                    if not inside(x, y):
                        continue
                    # The outline: a sample whose neighbourhood reaches outside the shape.
                    near_edge = any(not inside(x + dx, y + dy)
                                    for dx, dy in ((edge, 0), (-edge, 0), (0, edge), (0, -edge)))
                    colour = OUTLINE if near_edge else mark_colour if mark(x, y, width) else fill
                    r, g, b, a = r + colour[0], g + colour[1], b + colour[2], a + 1
            count = SAMPLES * SAMPLES
            if a:
                pixels.append((round(r / a), round(g / a), round(b / a), round(255 * a / count)))
            else:
                pixels.append((0, 0, 0, 0))
    return pixels


def bitmap(pixels, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b"".join(bytes(c for p in pixels[row * size:(row + 1) * size] for c in (p[2], p[1], p[0], p[3]))
                    for row in reversed(range(size)))
    mask_row = ((size + 31) // 32) * 4
    return header + rows + bytes(mask_row * size)  # the alpha channel masks; the AND mask is clear


def write_icon(state):
    images = [bitmap(render(state, size), size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(os.path.join(HERE, state + ".ico"), "wb") as file:
        file.write(out + b"".join(images))


def write_picture(path):
    """The three states at 64 and at 16 pixels, on a light and a dark strip, as a PNG."""
    big, small, gap = 64, 16, 16
    width = len(STATES) * (big + gap) + gap
    height = 2 * (big + 2 * gap)
    canvas = [[(0, 0, 0)] * width for _ in range(height)]
    for strip, background in enumerate(((245, 245, 245), (32, 32, 32))):
        for y in range(strip * height // 2, (strip + 1) * height // 2):
            canvas[y] = [background] * width
        for index, state in enumerate(STATES):
            for size, left, top in ((big, gap + index * (big + gap), strip * height // 2 + gap),
                                    (small, gap + index * (big + gap) + big - small,
                                     strip * height // 2 + gap + big - small)):
                if size == small:
                    left += small  # beside, not over, the large one: shift into the gap
                pixels = render(state, size)
                for row in range(size):
                    for column in range(size):
                        r, g, b, a = pixels[row * size + column]
                        x, y = left + column, top + row
                        if 0 <= x < width and a:
                            base = canvas[y][x]
                            canvas[y][x] = tuple(round((c * a + d * (255 - a)) / 255)
                                                 for c, d in zip((r, g, b), base))
    raw = b"".join(b"\0" + bytes(c for pixel in line for c in pixel) for line in canvas)
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as file:
        file.write(png)


if __name__ == "__main__":
    for name in STATES:
        write_icon(name)
    if len(sys.argv) > 1:
        write_picture(sys.argv[1])

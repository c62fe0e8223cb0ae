#!/usr/bin/env python3
"""Draws the program's icon and writes resources/stationclock.ico.

A clock face with a bold rim and two hands (minute at 12, hour at 3), at
16, 32, 48, 64 and 128 pixels, each in 16 colours, 24 bpp and 32 bpp.
Every image is stored as a BMP DIB (XOR bitmap and AND mask), never PNG.
Only + - * / and math.sqrt are used (no trigonometry, no pow), all
correctly rounded, so the output is the same bytes on every run and machine.
"""

import math
import os
import struct
import sys

SIZES = (16, 32, 48, 64, 128)
BIT_COUNTS = (4, 24, 32)

# The standard 16-colour palette, in the order Windows uses it.
VGA = (
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
)
BLACK, NAVY, GREY, RED, WHITE = 0, 4, 8, 9, 15

# Colours of the true-colour images; the 16-colour images use the palette
# index beside each.
RIM = ((24, 46, 120), NAVY)
FACE_TOP = (255, 255, 255)
FACE_BOTTOM = (218, 228, 242)
TICK = ((84, 96, 120), GREY)
HAND = ((22, 26, 36), BLACK)
SECOND = ((214, 40, 40), RED)

# Per size: edge sharpness (1 is plain anti-aliasing), outer radius, rim
# width, hour and minute hands (width, length), tick count, tick (outer
# radius, length, width), hand tail, second hand (width, length, tail) and
# centre cap radius. The small sizes are tuned so that straight edges fall on
# pixel boundaries.
GEOMETRY = {
    16: dict(sharp=2.0, radius=8.0, rim=2.0, hour=(2.0, 4.0), minute=(2.0, 5.0),
             ticks=0, tick=None, tail=0.0, second=None, cap=0.0),
    32: dict(sharp=1.25, radius=16.0, rim=3.0, hour=(4.0, 6.0), minute=(2.0, 9.0),
             ticks=4, tick=(12.0, 2.0, 2.0), tail=0.0, second=None, cap=0.0),
    48: dict(sharp=1.0, radius=23.5, rim=4.0, hour=(4.0, 9.0), minute=(3.0, 14.0),
             ticks=12, tick=(18.0, 3.0, 2.0), tail=2.0,
             second=(1.5, 14.0, 4.0), cap=3.0),
    64: dict(sharp=1.0, radius=31.0, rim=5.0, hour=(6.0, 12.0), minute=(4.0, 19.0),
             ticks=12, tick=(24.0, 4.0, 2.5), tail=3.0,
             second=(2.0, 19.0, 5.0), cap=4.0),
    128: dict(sharp=1.0, radius=62.0, rim=9.0, hour=(11.0, 25.0), minute=(7.0, 39.0),
              ticks=12, tick=(49.0, 8.0, 4.5), tail=6.0,
              second=(3.0, 40.0, 10.0), cap=7.5),
}

# Second hand direction: a 3-4-5 unit vector, towards about 7 o'clock.
SECOND_DIR = (-0.6, 0.8)


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def hypot(dx, dy):
    return math.sqrt(dx * dx + dy * dy)


def disc_sdf(cx, cy, r):
    return lambda x, y: hypot(x - cx, y - cy) - r


def ring_sdf(cx, cy, r_out, r_in):
    mid, half = (r_out + r_in) / 2, (r_out - r_in) / 2
    return lambda x, y: abs(hypot(x - cx, y - cy) - mid) - half


def bar_sdf(cx, cy, ux, uy, start, end, width, round_ends):
    """A bar along the unit vector (ux, uy) from `start` to `end` (distances
    from the centre) and `width` across; round ends make it a capsule."""
    half = width / 2

    def sdf(x, y):
        dx, dy = x - cx, y - cy
        along = dx * ux + dy * uy
        across = -dx * uy + dy * ux
        if round_ends:
            t = min(max(along, start + half), end - half)
            return hypot(along - t, across) - half
        mid, length_half = (start + end) / 2, (end - start) / 2
        qx, qy = abs(along - mid) - length_half, abs(across) - half
        outside = hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0)
    return sdf


def tick_directions(count):
    if count == 0:
        return []
    h = math.sqrt(3.0) / 2
    if count == 4:
        return [(0.0, -1.0), (1.0, 0.0), (0.0, 1.0), (-1.0, 0.0)]
    return [(0.0, -1.0), (0.5, -h), (h, -0.5), (1.0, 0.0), (h, 0.5), (0.5, h),
            (0.0, 1.0), (-0.5, h), (-h, 0.5), (-1.0, 0.0), (-h, -0.5), (-0.5, -h)]


def layers(size):
    """The drawing, back to front: (sdf, rgb function, palette index)."""
    g = GEOMETRY[size]
    c = size / 2
    r, rim = g["radius"], g["rim"]
    smooth = size >= 48
    out = []

    def face_colour(_x, y):
        t = clamp01((y - (c - r)) / (2 * r))
        return tuple(a + (b - a) * t for a, b in zip(FACE_TOP, FACE_BOTTOM))
    out.append((disc_sdf(c, c, r - rim / 2), face_colour, WHITE))

    for i, (ux, uy) in enumerate(tick_directions(g["ticks"])):
        outer, length, width = g["tick"]
        if g["ticks"] == 12 and i % 3:
            length, width = length * 0.6, width * 0.7
        out.append((bar_sdf(c, c, ux, uy, outer - length, outer, width, smooth),
                    lambda _x, _y: TICK[0], TICK[1]))

    out.append((ring_sdf(c, c, r, r - rim), lambda _x, _y: RIM[0], RIM[1]))

    hour_w, hour_len = g["hour"]
    minute_w, minute_len = g["minute"]
    # Without a tail the hands start half their width behind the centre so
    # that the two meet in a square corner.
    hour_start = -g["tail"] if g["tail"] else -minute_w / 2
    minute_start = -g["tail"] if g["tail"] else -hour_w / 2
    out.append((bar_sdf(c, c, 1.0, 0.0, hour_start, hour_len, hour_w, smooth),
                lambda _x, _y: HAND[0], HAND[1]))
    out.append((bar_sdf(c, c, 0.0, -1.0, minute_start, minute_len, minute_w, smooth),
                lambda _x, _y: HAND[0], HAND[1]))

    if g["second"]:
        width, length, tail = g["second"]
        out.append((bar_sdf(c, c, SECOND_DIR[0], SECOND_DIR[1], -tail, length, width, True),
                    lambda _x, _y: SECOND[0], SECOND[1]))
    if g["cap"]:
        out.append((disc_sdf(c, c, g["cap"]), lambda _x, _y: HAND[0], HAND[1]))
        out.append((disc_sdf(c, c, g["cap"] * 0.45), lambda _x, _y: SECOND[0], SECOND[1]))
    return out


def render_true_colour(size):
    """Anti-aliased straight-alpha pixels, top row first: (r, g, b, a) 0..255."""
    drawing = layers(size)
    sharp = GEOMETRY[size]["sharp"]
    pixels = []
    for py in range(size):
        for px in range(size):
            x, y = px + 0.5, py + 0.5
            cr = cg = cb = a = 0.0  # premultiplied
            for sdf, colour, _index in drawing:
                cover = clamp01(0.5 - sdf(x, y) * sharp)
                if cover == 0.0:
                    continue
                sr, sg, sb = colour(x, y)
                k = 1.0 - cover
                cr, cg, cb = sr * cover + cr * k, sg * cover + cg * k, sb * cover + cb * k
                a = cover + a * k
            if a == 0.0:
                pixels.append((0, 0, 0, 0))
            else:
                pixels.append((round(cr / a), round(cg / a), round(cb / a), round(a * 255)))
    return pixels


def render_palette(size):
    """Hard-edged palette indices, top row first; None where transparent."""
    drawing = layers(size)
    pixels = []
    for py in range(size):
        for px in range(size):
            x, y = px + 0.5, py + 0.5
            index = None
            for sdf, _colour, layer_index in drawing:
                if sdf(x, y) < 0.0:
                    index = layer_index
            pixels.append(index)
    return pixels


def and_mask(size, transparent):
    """1 bpp mask rows, bottom row first, each padded to 4 bytes."""
    stride = ((size + 31) // 32) * 4
    data = bytearray()
    for row in range(size - 1, -1, -1):
        line = bytearray(stride)
        for col in range(size):
            if transparent[row * size + col]:
                line[col >> 3] |= 0x80 >> (col & 7)
        data += line
    return bytes(data)


def dib(size, bit_count):
    palette = b""
    if bit_count == 4:
        indices = render_palette(size)
        palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in VGA)
        stride = ((size * 4 + 31) // 32) * 4
        xor = bytearray()
        for row in range(size - 1, -1, -1):
            line = bytearray(stride)
            for col in range(size):
                index = indices[row * size + col] or 0
                line[col >> 1] |= index << 4 if col % 2 == 0 else index
            xor += line
        mask = and_mask(size, [i is None for i in indices])
    else:
        pixels = render_true_colour(size)
        bytes_per_pixel = bit_count // 8
        stride = ((size * bit_count + 31) // 32) * 4
        xor = bytearray()
        for row in range(size - 1, -1, -1):
            line = bytearray()
            for col in range(size):
                r, g, b, a = pixels[row * size + col]
                if bit_count == 24 and a < 128:
                    r = g = b = 0
                line += bytes((b, g, r, a)[:bytes_per_pixel])
            xor += line + bytes(stride - len(line))
        mask = and_mask(size, [p[3] < 128 for p in pixels])
    # The height counts both the XOR bitmap and the AND mask.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette + bytes(xor) + mask


def icon_file():
    images = [(size, bits, dib(size, bits)) for size in SIZES for bits in BIT_COUNTS]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colours = 16 if bits == 4 else 0
        out += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _size, _bits, data in images:
        out += data
    return bytes(out)


def main():
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stationclock.ico")
    if len(sys.argv) > 1:
        target = sys.argv[1]
    data = icon_file()
    with open(target, "wb") as f:
        f.write(data)
    print(f"{target}: {len(data)} bytes")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the launcher's two pictures and writes them beside this script.

app.ico         the program icon: a white rook in profile on a rounded
                blue-teal tile, in ten images (32, 24, 16 px at 32 bpp with
                alpha; 48, 32, 24, 16 px at 8 bpp; 32, 24, 16 px at 4 bpp),
                each BMP-encoded with its AND mask.
background.bmp  the dialog background: 297 x 297 px, 16 colours, 4 bpp,
                uncompressed; faint contour lines on a pale ground that tile
                without a seam.

Only the standard library is used: the shapes are described by signed
distance functions, anti-aliased by supersampling, and the palettes for the
8 and 4 bpp images are found by median cut. Run it again after changing a
shape; the output is deterministic.
"""

import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# --------------------------------------------------------------------------
# Geometry: signed distances in a unit square (x right, y down); negative
# inside.


def sd_circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def sd_ellipse(px, py, cx, cy, rx, ry, angle):
    # Rotate into the ellipse's frame; the distance is approximated by scaling,
    # which is close enough near the outline, where it matters.
    c, s = math.cos(angle), math.sin(angle)
    dx, dy = px - cx, py - cy
    x = dx * c + dy * s
    y = -dx * s + dy * c
    k = math.hypot(x / rx, y / ry)
    return (k - 1.0) * min(rx, ry)


def sd_polygon(px, py, pts):
    # Exact distance to a simple polygon, signed by the even-odd rule.
    d = float("inf")
    inside = False
    n = len(pts)
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        wx, wy = px - ax, py - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        d = min(d, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > py) != (by > py) and px < ax + (py - ay) * ex / ey:
            inside = not inside
    return -d if inside else d


def sd_round_rect(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def smooth_union(a, b, k):
    h = max(0.0, min(1.0, 0.5 + 0.5 * (b - a) / k))
    return b + (a - b) * h - k * h * (1.0 - h)


def tile_for(size):
    """The tile: a rounded square with a small margin, as system icons have,
    its edges on whole pixels so that they stay crisp."""
    m = round(0.06 * size) / size
    return (m, m, 1.0 - m, 1.0 - m, 0.2)

# The rook, walking to the right: a long body, a flat crown running into a
# strong beak, a wedge tail, and (from 24 px up) an eye and a pair of legs.
BEAK = [(0.66, 0.305), (0.875, 0.385), (0.845, 0.40), (0.665, 0.425)]
TAIL = [(0.32, 0.55), (0.115, 0.70), (0.15, 0.765), (0.40, 0.66)]
LEGS = [[(0.455, 0.66), (0.425, 0.80), (0.455, 0.80), (0.495, 0.66)],
        [(0.545, 0.66), (0.555, 0.80), (0.585, 0.80), (0.585, 0.66)]]
EYE = (0.655, 0.345)


def sd_bird(px, py, detail):
    if not detail:
        return sd_bird_small(px, py)
    body = sd_ellipse(px, py, 0.48, 0.54, 0.235, 0.13, math.radians(-18))
    head = sd_ellipse(px, py, 0.63, 0.37, 0.095, 0.082, math.radians(-8))
    d = smooth_union(body, head, 0.09)
    d = smooth_union(d, sd_polygon(px, py, BEAK), 0.035)
    d = smooth_union(d, sd_polygon(px, py, TAIL), 0.05)
    for leg in LEGS:
        d = min(d, sd_polygon(px, py, leg))
    return d


# At 16 px the same bird in fewer, bolder parts: a larger head that stands
# clear of the back, and a longer, deeper beak, or both would blur into the
# body.
BEAK_16 = [(0.68, 0.27), (0.93, 0.37), (0.90, 0.40), (0.68, 0.44)]
TAIL_16 = [(0.30, 0.56), (0.08, 0.72), (0.13, 0.80), (0.40, 0.68)]


def sd_bird_small(px, py):
    body = sd_ellipse(px, py, 0.46, 0.59, 0.25, 0.14, math.radians(-14))
    head = sd_ellipse(px, py, 0.625, 0.355, 0.125, 0.11, 0.0)
    d = smooth_union(body, head, 0.04)
    d = smooth_union(d, sd_polygon(px, py, BEAK_16), 0.02)
    return smooth_union(d, sd_polygon(px, py, TAIL_16), 0.04)


def sd_eye(px, py):
    return sd_circle(px, py, EYE[0], EYE[1], 0.024)


TILE_TOP = (0x3A, 0x86, 0xA8)     # calm blue-teal, lighter at the top
TILE_BOTTOM = (0x1B, 0x4F, 0x6E)
BIRD = (0xFA, 0xFB, 0xFC)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def draw_icon(size):
    """Answers rows of (r, g, b, a) with 0..255 components, top row first."""
    ss = 16 if size <= 24 else 10
    tile_shape = tile_for(size)
    detail = size >= 24   # eye and legs
    # At 16 px the bird is drawn a little bolder, so that beak and tail
    # survive.
    bold = 0.2 / size if size <= 16 else 0.0
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            tile_cover = bird_cover = 0
            for sj in range(ss):
                py = (j + (sj + 0.5) / ss) / size
                for si in range(ss):
                    px = (i + (si + 0.5) / ss) / size
                    if sd_round_rect(px, py, *tile_shape) >= 0:
                        continue
                    tile_cover += 1
                    if sd_bird(px, py, detail) < bold and not (
                            detail and sd_eye(px, py) < 0):
                        bird_cover += 1
            n = ss * ss
            a = tile_cover / n
            if tile_cover == 0:
                row.append((0, 0, 0, 0))
                continue
            # Colour of the covered part: the tile's gradient with the bird
            # over it (the bird never leaves the tile).
            ty = (j + 0.5) / size
            tile = mix(TILE_TOP, TILE_BOTTOM, max(0.0, min(1.0, (ty - 0.06) / 0.88)))
            c = mix(tile, BIRD, bird_cover / tile_cover)
            row.append(tuple(int(round(v)) for v in c) + (int(round(a * 255)),))
        rows.append(row)
    return rows


# --------------------------------------------------------------------------
# Background: faint contour lines of a smooth field whose every term has a
# whole number of periods across the tile, so opposite edges meet exactly.

BG_SIZE = 297
BG_GROUND = (0xF4, 0xF7, 0xFA)
BG_LINE = (0xD8, 0xE3, 0xEE)
BG_TERMS = [  # (x frequency, y frequency, amplitude, phase)
    (1, 0, 1.00, 0.3), (0, 1, 0.90, 1.9), (1, 1, 0.70, 4.1),
    (1, -1, 0.55, 2.6), (2, 1, 0.30, 0.8), (1, 2, 0.28, 5.2),
    (3, -1, 0.12, 3.3),
]
BG_STEP = 0.42        # field distance between contour lines
BG_HALF_WIDTH = 0.75  # half the line width, in pixels


def bg_field(x, y):
    v = 0.0
    for fx, fy, amp, ph in BG_TERMS:
        v += amp * math.sin(2 * math.pi * (fx * x + fy * y) / BG_SIZE + ph)
    return v


def draw_background():
    # Distance to the nearest contour in pixels, from the field's value and
    # its gradient; coverage of a line of fixed width from that distance.
    rows = []
    eps = 0.5
    for j in range(BG_SIZE):
        row = []
        for i in range(BG_SIZE):
            cover = 0.0
            ss = 3
            for sj in range(ss):
                for si in range(ss):
                    x = i + (si + 0.5) / ss
                    y = j + (sj + 0.5) / ss
                    v = bg_field(x, y)
                    gx = (bg_field(x + eps, y) - bg_field(x - eps, y)) / (2 * eps)
                    gy = (bg_field(x, y + eps) - bg_field(x, y - eps)) / (2 * eps)
                    g = max(math.hypot(gx, gy), 1e-6)
                    k = v / BG_STEP
                    dist = abs(k - round(k)) * BG_STEP / g
                    cover += max(0.0, min(1.0, BG_HALF_WIDTH + 0.5 - dist))
            c = mix(BG_GROUND, BG_LINE, cover / (ss * ss))
            row.append(tuple(int(round(v)) for v in c))
        rows.append(row)
    return rows


# --------------------------------------------------------------------------
# Palettes: median cut over the colours in use, then nearest colour.


def median_cut(colours, count):
    """colours: {(r, g, b): weight}. Answers up to count (r, g, b) entries."""
    boxes = [list(colours.items())]
    while len(boxes) < count:
        best, best_range = None, 0
        for bi, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                vals = [c[ch] for c, _ in box]
                rng = (max(vals) - min(vals)) * math.sqrt(sum(w for _, w in box))
                if rng > best_range:
                    best, best_range = (bi, ch), rng
        if best is None:
            break
        bi, ch = best
        box = sorted(boxes.pop(bi), key=lambda cw: cw[0][ch])
        total = sum(w for _, w in box)
        acc, cut = 0, 1
        for k, (_, w) in enumerate(box):
            acc += w
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, k + 1))
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(w for _, w in box)
        palette.append(tuple(int(round(sum(c[ch] * w for c, w in box) / total))
                             for ch in range(3)))
    return palette


def nearest(palette, c):
    return min(range(len(palette)),
               key=lambda k: sum((palette[k][ch] - c[ch]) ** 2 for ch in range(3)))


# --------------------------------------------------------------------------
# File formats.


def pack_rows(indices, bpp):
    """Packs rows of palette indices (top row first) into bottom-up DIB rows,
    each padded to a multiple of four bytes."""
    out = bytearray()
    for row in reversed(indices):
        bits = bytearray()
        if bpp == 8:
            bits = bytearray(row)
        elif bpp == 4:
            for k in range(0, len(row), 2):
                hi = row[k]
                lo = row[k + 1] if k + 1 < len(row) else 0
                bits.append((hi << 4) | lo)
        elif bpp == 1:
            for k in range(0, len(row), 8):
                byte = 0
                for b in range(8):
                    if k + b < len(row) and row[k + b]:
                        byte |= 0x80 >> b
                bits.append(byte)
        bits += b"\0" * (-len(bits) % 4)
        out += bits
    return bytes(out)


def info_header(width, height, bpp, colours, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, 0, image_size,
                       0, 0, colours, 0)


def palette_bytes(palette, count):
    out = bytearray()
    for r, g, b in palette:
        out += bytes((b, g, r, 0))
    out += b"\0\0\0\0" * (count - len(palette))
    return bytes(out)


def icon_image(rgba, bpp):
    """One icon image: BITMAPINFOHEADER (double height), palette, colour bits
    and AND mask. Pixels less than half covered are transparent in the mask."""
    size = len(rgba)
    mask = [[1 if px[3] < 128 else 0 for px in row] for row in rgba]
    and_bits = pack_rows(mask, 1)
    if bpp == 32:
        xor = bytearray()
        for row in reversed(rgba):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
        header = info_header(size, size * 2, 32, 0, len(xor) + len(and_bits))
        return header + bytes(xor) + and_bits
    count = 1 << bpp
    opaque = {}
    for row in rgba:
        for r, g, b, a in row:
            if a >= 128:
                opaque[(r, g, b)] = opaque.get((r, g, b), 0) + 1
    # Index 0 is black: the colour under the mask, so that transparent pixels
    # leave the screen as it is.
    palette = [(0, 0, 0)] + median_cut(opaque, count - 1)
    cache = {}
    indices = []
    for row in rgba:
        out = []
        for r, g, b, a in row:
            if a < 128:
                out.append(0)
                continue
            c = (r, g, b)
            if c not in cache:
                cache[c] = 1 + nearest(palette[1:], c)
            out.append(cache[c])
        indices.append(out)
    xor = pack_rows(indices, bpp)
    header = info_header(size, size * 2, bpp, 0, len(xor) + len(and_bits))
    return header + palette_bytes(palette, count) + xor + and_bits


def write_ico(path, images):
    """images: list of (size, bpp, data)."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, bpp, data in images:
        colours = (1 << bpp) if bpp < 8 else 0
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1,
                               bpp, len(data), offset)
        blobs += data
        offset += len(data)
    with open(path, "wb") as f:
        f.write(head + entries + blobs)


def write_bmp4(path, rgb):
    size = len(rgb)
    counts = {}
    for row in rgb:
        for c in row:
            counts[c] = counts.get(c, 0) + 1
    palette = median_cut(counts, 16)
    cache = {}
    indices = [[cache.setdefault(c, nearest(palette, c)) for c in row] for row in rgb]
    bits = pack_rows(indices, 4)
    pal = palette_bytes(palette, 16)
    offset = 14 + 40 + len(pal)
    file_head = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    # 2835 pixels per metre is 72 dpi.
    info = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 4, 0, len(bits),
                       2835, 2835, 16, 16)
    with open(path, "wb") as f:
        f.write(file_head + info + pal + bits)


def main():
    images = []
    drawn = {}
    for size, bpp in [(32, 32), (24, 32), (16, 32), (48, 8), (32, 8), (24, 8),
                      (16, 8), (32, 4), (24, 4), (16, 4)]:
        if size not in drawn:
            drawn[size] = draw_icon(size)
        images.append((size, bpp, icon_image(drawn[size], bpp)))
    write_ico(os.path.join(HERE, "app.ico"), images)
    write_bmp4(os.path.join(HERE, "background.bmp"), draw_background())


if __name__ == "__main__":
    main()

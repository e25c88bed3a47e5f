#!/usr/bin/env python3
"""Draws the program icon, kelvashin.ico: a disk platter seen from above whose
first sector (the wedge clockwise from twelve o'clock on the outer tracks) is
lit up in red.

The file is a classic icon with uncompressed bitmap images (no PNG), in the
order and depths the program file carries:
  32x32 16 colours, 48x48 256 colours, 32x32 256 colours, 32x32 monochrome,
  16x16 16 colours.

Only the standard library is used, and the output depends on nothing but this
script, so running it again gives the same bytes:
    python3 resources/icon/make_icon.py [output.ico]
"""

import math
import os
import struct
import sys

# The sixteen colours of the standard Windows palette, in palette order.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette256():
    """The 16 standard colours, a 6x6x6 colour cube and a 24-step grey ramp."""
    pal = list(VGA16)
    steps = [0, 51, 102, 153, 204, 255]
    pal += [(r, g, b) for r in steps for g in steps for b in steps]
    pal += [(8 + 10 * i, 8 + 10 * i, 8 + 10 * i) for i in range(24)]
    assert len(pal) == 256
    return pal


# Regions of the drawing and their colours: (colour on 16 or 256 colours,
# colour on monochrome). None marks the transparent background.
REGIONS = {
    "background": None,
    "rim": ((0, 0, 0), (0, 0, 0)),
    "platter": ((192, 192, 192), (255, 255, 255)),
    "shine": ((255, 255, 255), (255, 255, 255)),
    "track": ((128, 128, 128), (255, 255, 255)),
    "sector": ((255, 0, 0), (0, 0, 0)),
    "sector_edge": ((128, 0, 0), (0, 0, 0)),
    "hub": ((128, 128, 128), (0, 0, 0)),
    "spindle": ((0, 0, 0), (255, 255, 255)),
}

SECTOR_START = 0.0  # degrees clockwise from twelve o'clock
SECTOR_END = 72.0


def region_at(u, v, size):
    """Region under the point (u, v) of the unit square, y pointing down.
    size is the image's width in pixels: lines stay about one pixel wide, and
    the smaller images leave out the tracks and the glint."""
    px = 1.0 / size
    dx, dy = u - 0.5, v - 0.5
    r = math.hypot(dx, dy)
    outer = 0.47 if size >= 32 else 0.45
    if r > outer:
        return "background"
    if r > outer - 1.2 * px:
        return "rim"
    hub = 0.17 if size >= 32 else 0.2
    if r < 0.065:
        return "spindle"
    if r < hub:
        return "hub"
    if r < hub + 1.0 * px:
        return "rim"
    angle = math.degrees(math.atan2(dx, -dy)) % 360.0
    inner = 0.25 if size >= 32 else 0.27
    if SECTOR_START <= angle <= SECTOR_END and r >= inner:
        # Outline the wedge so it reads as a block of the tracks, not a slice.
        arc = math.radians(min(angle - SECTOR_START, SECTOR_END - angle)) * r
        if size >= 32 and (arc < 0.9 * px or r < inner + 0.9 * px):
            return "sector_edge"
        return "sector"
    tracks = {48: (0.33, 0.40), 32: (0.36,)}.get(size, ())
    if any(abs(r - t) < 0.6 * px for t in tracks):
        return "track"
    # A short glint on the lower left of the platter.
    if size >= 32 and 205.0 <= angle <= 235.0 and abs(r - 0.30) < 0.6 * px:
        return "shine"
    return "platter"


def render(size, mono):
    """Rows of region names (majority of a 5x5 sampling per pixel) and, for the
    colour images, the mean colour of each pixel's opaque samples."""
    n = 5
    labels, colours = [], []
    for y in range(size):
        lrow, crow = [], []
        for x in range(size):
            counts = {}
            acc = [0, 0, 0]
            opaque = 0
            for sy in range(n):
                for sx in range(n):
                    u = (x + (sx + 0.5) / n) / size
                    v = (y + (sy + 0.5) / n) / size
                    reg = region_at(u, v, size)
                    counts[reg] = counts.get(reg, 0) + 1
                    if REGIONS[reg] is not None:
                        c = REGIONS[reg][1 if mono else 0]
                        acc = [acc[i] + c[i] for i in range(3)]
                        opaque += 1
            best = max(sorted(counts), key=lambda k: counts[k])
            if counts.get("background", 0) * 2 > n * n:
                best = "background"
            lrow.append(best)
            crow.append(None if opaque == 0 else tuple(a / opaque for a in acc))
        labels.append(lrow)
        colours.append(crow)
    return labels, colours


def nearest(pal, c):
    return min(range(len(pal)), key=lambda i: sum((pal[i][k] - c[k]) ** 2 for k in range(3)))


def row_bytes(indices, bpp):
    """Packs one row of palette indices, padded to a multiple of 4 bytes."""
    out = bytearray()
    acc, nbits = 0, 0
    for i in indices:
        acc = (acc << bpp) | i
        nbits += bpp
        if nbits == 8:
            out.append(acc)
            acc, nbits = 0, 0
    if nbits:
        out.append(acc << (8 - nbits))
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def make_image(size, bpp):
    """One icon image: BITMAPINFOHEADER, palette, colour bits, AND mask."""
    mono = bpp == 1
    labels, colours = render(size, mono)
    if bpp == 8:
        pal = palette256()
    elif bpp == 4:
        pal = VGA16
    else:
        pal = [(0, 0, 0), (255, 255, 255)]
    xor_rows, and_rows = [], []
    for y in range(size):
        idx, mask = [], []
        for x in range(size):
            reg = labels[y][x]
            if REGIONS[reg] is None:
                idx.append(0)  # black under a set mask bit: the screen shows through
                mask.append(1)
                continue
            mask.append(0)
            if bpp == 8:
                # Smooth the edges with the mean colour of the opaque samples.
                idx.append(nearest(pal, colours[y][x]))
            else:
                idx.append(nearest(pal, REGIONS[reg][1 if mono else 0]))
        xor_rows.append(row_bytes(idx, bpp))
        and_rows.append(row_bytes(mask, 1))
    # Bitmaps are stored bottom-up.
    bits = b"".join(reversed(xor_rows)) + b"".join(reversed(and_rows))
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bpp, 0, len(bits), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in pal)
    return header + palette + bits


# (size, bits per pixel), in the order of the icon group.
IMAGES = [(32, 4), (48, 8), (32, 8), (32, 1), (16, 4)]


def make_icon():
    images = [make_image(size, bpp) for size, bpp in IMAGES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for (size, bpp), data in zip(IMAGES, images):
        colours = 1 << bpp if bpp < 8 else 0
        out += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "kelvashin.ico")
    with open(path, "wb") as f:
        f.write(make_icon())


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes a Windows icon file from XPM pixel maps: one 16-colour (4 bits a pixel) image per map,
with "None" pixels transparent through the icon's mask.

    xpm2ico.py OUT.ico MAP.xpm [MAP.xpm ...]
"""
import re
import struct
import sys


def read_xpm(path):
    """Width, height and the rows as lists of RGB tuples (None for transparent)."""
    strings = re.findall(r'"((?:[^"\\]|\\.)*)"', open(path, encoding="utf-8").read())
    width, height, ncolours, cpp = (int(v) for v in strings[0].split()[:4])
    colours = {}
    for line in strings[1 : 1 + ncolours]:
        key, fields = line[:cpp], line[cpp:].split()
        value = fields[fields.index("c") + 1]
        if value.lower() == "none":
            colours[key] = None
        elif re.fullmatch(r"#[0-9A-Fa-f]{6}", value):
            colours[key] = tuple(int(value[i : i + 2], 16) for i in (1, 3, 5))
        else:
            sys.exit(f"xpm2ico: {path}: colour {value!r} is not #RRGGBB or None")
    rows = []
    for line in strings[1 + ncolours : 1 + ncolours + height]:
        rows.append([colours[line[i : i + cpp]] for i in range(0, width * cpp, cpp)])
    if len(rows) != height or any(len(r) != width for r in rows):
        sys.exit(f"xpm2ico: {path}: the pixel rows do not match {width} x {height}")
    return width, height, rows


def icon_image(width, height, rows):
    """The BITMAPINFOHEADER, palette, colour bits and mask of one 4-bit icon image."""
    palette = sorted({p for row in rows for p in row if p is not None})
    if len(palette) > 16:
        sys.exit("xpm2ico: more than 16 colours")
    palette += [(0, 0, 0)] * (16 - len(palette))
    index = {colour: i for i, colour in enumerate(palette)}

    def stride(bits):
        return ((width * bits + 31) // 32) * 4

    colour_bits, mask_bits = bytearray(), bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray(stride(4))
        mask = bytearray(stride(1))
        for x, pixel in enumerate(row):
            value = 0 if pixel is None else index[pixel]
            line[x // 2] |= value << (4 if x % 2 == 0 else 0)
            if pixel is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        colour_bits += line
        mask_bits += mask
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0,
                         len(colour_bits) + len(mask_bits), 0, 0, 16, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + table + bytes(colour_bits) + bytes(mask_bits)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    images = [(w, h, icon_image(w, h, rows)) for w, h, rows in map(read_xpm, sys.argv[2:])]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for width, height, data in images:
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(sys.argv[1], "wb") as file:
        file.write(out)


if __name__ == "__main__":
    main()

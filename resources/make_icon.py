#!/usr/bin/env python3
"""Draws the stub's icon: a blue rounded tile with a white downward arrow over a
bar. The set is kept small, since it is a share of the download: 16, 32 and 48
pixels as 32-bit images with alpha (what the shell picks for lists, the title
bar and the desktop at 100 % to 150 %), and 256 pixels PNG-compressed for large
views and high-DPI screens (flat shapes compress to about a kilobyte). Every
supported system reads 32-bit and PNG images, so no palette images are kept."""
import struct
import sys
import zlib

BLUE = (0x1f, 0x6f, 0xd1)
WHITE = (0xff, 0xff, 0xff)


def pixel(size, x, y):
    """Colour and alpha of one pixel, or None outside the rounded tile."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    r = 0.18
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return None
    shaft = 0.42 <= u <= 0.58 and 0.16 <= v <= 0.52
    head = 0.46 <= v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 1.15
    bar = 0.76 <= v <= 0.84 and 0.22 <= u <= 0.78
    return WHITE if (shaft or head or bar) else BLUE


def rows(size):
    for y in range(size - 1, -1, -1):  # bitmaps are stored bottom-up
        yield [pixel(size, x, y) for x in range(size)]


def and_mask(size):
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in rows(size):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def dib(size):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    data = bytearray()
    for row in rows(size):
        for p in row:
            c = p or (0, 0, 0)
            data += bytes((c[2], c[1], c[0], 0 if p is None else 0xff))
    return header + bytes(data) + and_mask(size)


def png(size):
    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for x in range(size):
            p = pixel(size, x, y)
            raw += bytes((0, 0, 0, 0)) if p is None else bytes(p + (0xff,))

    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body) & 0xffffffff)

    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def main(path):
    images = [(size, dib(size)) for size in (16, 32, 48)] + [(256, png(256))]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        # A width or height of 256 is written as 0.
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1])

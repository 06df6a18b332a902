#!/usr/bin/env python3
"""Makes talvex.ico (one 32 x 32 image in 256 colours) from the shell's
32-pixel PNG icon, which is already an 8-bit palette image.
Usage: make_ico.py talvex-32.png talvex.ico"""
import struct
import sys
import zlib


def read_png(path):
    data = open(path, 'rb').read()
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG file'
    pos, idat, palette, alpha = 8, b'', b'', b''
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b'IHDR':
            width, height, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', body)
            assert depth == 8 and colour == 3 and interlace == 0, 'need an 8-bit palette PNG'
        elif kind == b'PLTE':
            palette = body
        elif kind == b'tRNS':
            alpha = body
        elif kind == b'IDAT':
            idat += body
    raw = zlib.decompress(idat)
    rows, prev, stride = [], bytearray(width), width
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 1] if x else 0
            b = prev[x]
            c = prev[x - 1] if x else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 0xFF
        rows.append(bytes(line))
        prev = line
    return width, height, palette, alpha, rows


def write_ico(path, width, height, palette, alpha, rows):
    colours = len(palette) // 3
    quad = b''.join(bytes((palette[3 * i + 2], palette[3 * i + 1], palette[3 * i], 0))
                    for i in range(colours)) + b'\0' * 4 * (256 - colours)
    pixels = b''.join(rows[::-1])  # bottom-up
    mask_stride = ((width + 31) // 32) * 4
    mask = b''
    for row in rows[::-1]:
        bits = bytearray(mask_stride)
        for x, index in enumerate(row):
            if index < len(alpha) and alpha[index] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 8, 0,
                         len(pixels) + len(mask), 0, 0, 256, 0)
    image = header + quad + pixels + mask
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack(
        '<BBBBHHII', width, height, 0, 0, 1, 8, len(image), 6 + 16)
    open(path, 'wb').write(directory + image)


if __name__ == '__main__':
    write_ico(sys.argv[2], *read_png(sys.argv[1]))

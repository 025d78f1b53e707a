#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Draws the window's two pictures into this folder.

Image1.png: the logo strip, 72 x 726, 8-bit RGBA (colour type 6), not interlaced, with a gAMA
chunk; written by hand so that exactly those chunks are present.
Image2.jpg: the background picture, 400 x 287, baseline JPEG with three components.

Run with /usr/bin/python3 from anywhere; the output is deterministic.
"""
import os
import struct
import zlib

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))

LOGO_W, LOGO_H = 72, 726
BACK_W, BACK_H = 400, 287


def logo_pixel(x, y):
    """A dark blue strip fading to white at the bottom, with a band of orange stripes."""
    t = y / (LOGO_H - 1)
    r = int(20 + 200 * t * t)
    g = int(40 + 190 * t * t)
    b = int(110 + 140 * t)
    a = 255
    # Orange stripes near the top: the brand mark.
    if 40 <= y < 200 and ((y - 40) // 12) % 2 == 0 and 12 <= x < 60:
        r, g, b = 240, 140, 30
    # A soft transparent edge on the right so the alpha channel carries something.
    if x >= LOGO_W - 4:
        a = 255 - (x - (LOGO_W - 4)) * 50
    return min(r, 255), min(g, 255), min(b, 255), a


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_logo(path):
    raw = bytearray()
    for y in range(LOGO_H):
        raw.append(0)  # filter type None for every scan line
        for x in range(LOGO_W):
            raw.extend(logo_pixel(x, y))
    ihdr = struct.pack(">IIBBBBB", LOGO_W, LOGO_H, 8, 6, 0, 0, 0)  # 8-bit, RGBA, no interlace
    gama = struct.pack(">I", 45455)  # gamma 1/2.2
    with open(path + ".tmp", "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(png_chunk(b"IHDR", ihdr))
        out.write(png_chunk(b"gAMA", gama))
        out.write(png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        out.write(png_chunk(b"IEND", b""))
    os.replace(path + ".tmp", path)


def write_background(path):
    img = Image.new("RGB", (BACK_W, BACK_H), (255, 255, 255))
    draw = ImageDraw.Draw(img)
    for y in range(BACK_H):
        shade = 255 - int(60 * y / BACK_H)
        draw.line([(0, y), (BACK_W, y)], fill=(shade, shade, 255))
    draw.ellipse([120, 60, 280, 220], outline=(30, 60, 140), width=6)
    draw.line([(200, 40), (200, 240)], fill=(30, 60, 140), width=3)
    draw.line([(100, 140), (300, 140)], fill=(30, 60, 140), width=3)
    img.save(path + ".tmp", "JPEG", quality=85, progressive=False, optimize=False)
    os.replace(path + ".tmp", path)


if __name__ == "__main__":
    write_logo(os.path.join(HERE, "Image1.png"))
    write_background(os.path.join(HERE, "Image2.jpg"))

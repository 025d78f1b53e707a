#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Draws the application icon: a satellite above the horizon signalling to a tracker.

Writes resources/icon/io.kestravo.Configurator.svg and one PNG per hicolor size
(resources/icon/NxN.png). The SVG and the PNGs come from the same list of shapes,
so they agree; the output is the same bytes on every run.

    /usr/bin/python3 resources/draw_icon.py [OUTPUT_FOLDER]
"""

import math
import os
import sys

from PIL import Image, ImageChops, ImageDraw

ICON_ID = "io.kestravo.Configurator"
SIZES = (16, 24, 32, 48, 64, 128, 256)
UNITS = 256          # the drawing's coordinate space
SUPERSAMPLE = 4      # PNGs are drawn this much larger, then reduced, for smooth edges

NAVY = "#16324f"
EARTH = "#2f8f6a"
EARTH_RIM = "#7fd1ae"
WHITE = "#ffffff"
PANEL = "#4a90d9"
ORANGE = "#f28c28"

BACKGROUND = (8, 8, 248, 248, 44)          # x0, y0, x1, y1, corner radius
EARTH_CIRCLE = (128, 430, 250)             # centre x, centre y, radius
SATELLITE = (172, 80)                      # centre
SATELLITE_ANGLE = 45                       # degrees, the panels' axis
DEVICE = (84, 196)                         # centre of the tracker
WAVE_RADII = (50, 74, 98)
WAVE_WIDTH = 11


def rotated(points, centre, degrees):
    """The points turned about centre (y grows downwards, so positive turns clockwise)."""
    a = math.radians(degrees)
    cx, cy = centre
    out = []
    for x, y in points:
        dx, dy = x - cx, y - cy
        out.append((cx + dx * math.cos(a) - dy * math.sin(a),
                    cy + dx * math.sin(a) + dy * math.cos(a)))
    return out


def rect_points(cx, cy, w, h):
    return [(cx - w / 2, cy - h / 2), (cx + w / 2, cy - h / 2),
            (cx + w / 2, cy + h / 2), (cx - w / 2, cy + h / 2)]


def shapes():
    """The icon as a list of shapes, back to front."""
    out = []
    x0, y0, x1, y1, r = BACKGROUND
    out.append(("rrect", (x0, y0, x1, y1), r, NAVY))
    ex, ey, er = EARTH_CIRCLE
    out.append(("clipped-circle", (ex, ey, er + 6), EARTH_RIM))
    out.append(("clipped-circle", (ex, ey, er), EARTH))

    # Signal waves from the satellite towards the tracker.
    sx, sy = SATELLITE
    dx, dy = DEVICE
    towards = math.degrees(math.atan2(dy - sy, dx - sx))
    for radius in WAVE_RADII:
        out.append(("arc", (sx, sy, radius), (towards - 24, towards + 24), WAVE_WIDTH, WHITE))

    # The satellite: two solar panels on a strut, and the body.
    c = SATELLITE
    out.append(("polygon", rotated(rect_points(sx, sy, 120, 8), c, SATELLITE_ANGLE), WHITE))
    for side in (-1, 1):
        panel = rect_points(sx + side * 44, sy, 36, 30)
        out.append(("polygon", rotated(panel, c, SATELLITE_ANGLE), WHITE))
        inner = rect_points(sx + side * 44, sy, 28, 22)
        out.append(("polygon", rotated(inner, c, SATELLITE_ANGLE), PANEL))
    out.append(("polygon", rotated(rect_points(sx, sy, 30, 30), c, SATELLITE_ANGLE), WHITE))
    out.append(("circle", (sx, sy, 7), ORANGE))

    # The tracker on the ground: a box with an antenna and a status light.
    out.append(("polygon", rect_points(dx, dy - 30, 6, 28), WHITE))
    out.append(("rrect", (dx - 28, dy - 18, dx + 28, dy + 18), 8, ORANGE))
    out.append(("circle", (dx + 13, dy - 4, 6), WHITE))
    out.append(("polygon", rect_points(dx - 8, dy + 6, 24, 5), WHITE))
    return out


def fmt(value):
    text = f"{value:.2f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def svg():
    x0, y0, x1, y1, r = BACKGROUND
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        "<!-- SPDX-License-Identifier: Apache-2.0 -->",
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{UNITS}" height="{UNITS}" '
        f'viewBox="0 0 {UNITS} {UNITS}">',
        "  <defs>",
        '    <clipPath id="tile">',
        f'      <rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{y1 - y0}" rx="{r}" ry="{r}"/>',
        "    </clipPath>",
        "  </defs>",
    ]
    for shape in shapes():
        kind = shape[0]
        if kind == "rrect":
            (a, b, c, d), radius, colour = shape[1:]
            lines.append(f'  <rect x="{fmt(a)}" y="{fmt(b)}" width="{fmt(c - a)}" '
                         f'height="{fmt(d - b)}" rx="{radius}" ry="{radius}" fill="{colour}"/>')
        elif kind == "clipped-circle":
            (cx, cy, radius), colour = shape[1:]
            lines.append(f'  <circle cx="{fmt(cx)}" cy="{fmt(cy)}" r="{fmt(radius)}" '
                         f'fill="{colour}" clip-path="url(#tile)"/>')
        elif kind == "circle":
            (cx, cy, radius), colour = shape[1:]
            lines.append(f'  <circle cx="{fmt(cx)}" cy="{fmt(cy)}" r="{fmt(radius)}" '
                         f'fill="{colour}"/>')
        elif kind == "polygon":
            points, colour = shape[1:]
            text = " ".join(f"{fmt(x)},{fmt(y)}" for x, y in points)
            lines.append(f'  <polygon points="{text}" fill="{colour}"/>')
        elif kind == "arc":
            (cx, cy, radius), (start, end), width, colour = shape[1:]
            p0 = (cx + radius * math.cos(math.radians(start)),
                  cy + radius * math.sin(math.radians(start)))
            p1 = (cx + radius * math.cos(math.radians(end)),
                  cy + radius * math.sin(math.radians(end)))
            lines.append(f'  <path d="M {fmt(p0[0])} {fmt(p0[1])} A {radius} {radius} 0 0 1 '
                         f'{fmt(p1[0])} {fmt(p1[1])}" fill="none" stroke="{colour}" '
                         f'stroke-width="{width}"/>')
    lines.append("</svg>")
    return "\n".join(lines) + "\n"


def master():
    """The icon at UNITS * SUPERSAMPLE pixels, RGBA."""
    k = SUPERSAMPLE
    size = UNITS * k
    image = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    x0, y0, x1, y1, r = BACKGROUND
    tile = Image.new("L", (size, size), 0)
    ImageDraw.Draw(tile).rounded_rectangle((x0 * k, y0 * k, x1 * k - 1, y1 * k - 1),
                                           radius=r * k, fill=255)
    draw = ImageDraw.Draw(image)
    for shape in shapes():
        kind = shape[0]
        if kind == "rrect":
            (a, b, c, d), radius, colour = shape[1:]
            draw.rounded_rectangle((a * k, b * k, c * k - 1, d * k - 1), radius=radius * k,
                                   fill=colour)
        elif kind == "clipped-circle":
            (cx, cy, radius), colour = shape[1:]
            layer = Image.new("RGBA", (size, size), (0, 0, 0, 0))
            ImageDraw.Draw(layer).ellipse(((cx - radius) * k, (cy - radius) * k,
                                           (cx + radius) * k - 1, (cy + radius) * k - 1),
                                          fill=colour)
            layer.putalpha(ImageChops.multiply(layer.getchannel("A"), tile))
            image.alpha_composite(layer)
            draw = ImageDraw.Draw(image)
        elif kind == "circle":
            (cx, cy, radius), colour = shape[1:]
            draw.ellipse(((cx - radius) * k, (cy - radius) * k,
                          (cx + radius) * k - 1, (cy + radius) * k - 1), fill=colour)
        elif kind == "polygon":
            points, colour = shape[1:]
            draw.polygon([(x * k, y * k) for x, y in points], fill=colour)
        elif kind == "arc":
            (cx, cy, radius), (start, end), width, colour = shape[1:]
            outer = radius + width / 2
            draw.arc(((cx - outer) * k, (cy - outer) * k, (cx + outer) * k - 1,
                      (cy + outer) * k - 1), start, end, fill=colour, width=int(width * k))
    return image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "icon")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"{ICON_ID}.svg"), "w", encoding="utf-8", newline="\n") as f:
        f.write(svg())
    big = master()
    for size in SIZES:
        small = big.resize((size, size), Image.Resampling.LANCZOS)
        small.save(os.path.join(folder, f"{size}x{size}.png"), optimize=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Makes the viewer's data files: the terrain textures, the meshes with their
materials and textures, and a sample terrain with a layer beside it.

Run it from anywhere; it rewrites the files under textures/, meshes/ and
terrain/ next to this script. The output depends on nothing but this file, so
running it again gives the same bytes. Only the standard library is used: the
PNG, JPEG and DDS writers below are small ones of our own.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def out_path(*parts):
    path = os.path.join(HERE, *parts)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    return path


# ---- Images: a list of rows, each a list of (r, g, b, a) tuples -----------------


def noise(x, y, seed):
    """Smooth value noise in [0, 1] on a lattice of 1, wrapping at 64."""

    def lattice(ix, iy):
        h = (ix % 64) * 374761393 + (iy % 64) * 668265263 + seed * 144269504
        h = (h ^ (h >> 13)) * 1274126177 & 0xFFFFFFFF
        return ((h ^ (h >> 16)) & 0xFFFF) / 65535.0

    x0, y0 = math.floor(x), math.floor(y)
    fx, fy = x - x0, y - y0
    sx, sy = fx * fx * (3 - 2 * fx), fy * fy * (3 - 2 * fy)
    top = lattice(x0, y0) * (1 - sx) + lattice(x0 + 1, y0) * sx
    bottom = lattice(x0, y0 + 1) * (1 - sx) + lattice(x0 + 1, y0 + 1) * sx
    return top * (1 - sy) + bottom * sy


def fractal(x, y, seed, octaves=3):
    """Noise of several scales over a 64-pixel tile, in [0, 1]."""
    total, weight, scale = 0.0, 0.0, 8.0
    for octave in range(octaves):
        amplitude = 0.5**octave
        period = 64 / scale
        total += amplitude * noise(x / period, y / period, seed + octave)
        weight += amplitude
        scale *= 2
    return total / weight


def clamp8(v):
    return max(0, min(255, int(round(v))))


def image(size, shade):
    """shade(x, y) -> (r, g, b) or (r, g, b, a), values 0..255."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            c = shade(x, y)
            row.append(tuple(clamp8(v) for v in c) + (() if len(c) == 4 else (255,)))
        rows.append(row)
    return rows


def tint(base, amount):
    return tuple(v * amount for v in base)


# ---- PNG ------------------------------------------------------------------------


def write_png(path, rows, alpha=False):
    height, width = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw.extend(pixel if alpha else pixel[:3])

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    with open(out_path(path), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


# ---- JPEG (baseline, 4:4:4, the usual Huffman tables) ----------------------------

ZIGZAG = [
    0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
]  # fmt: skip

LUMA_QUANT = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
]  # fmt: skip

CHROMA_QUANT = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
] + [99] * 32  # fmt: skip

DC_LUMA_BITS = [0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]
DC_CHROMA_BITS = [0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0]
DC_VALUES = list(range(12))
AC_LUMA_BITS = [0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D]
AC_CHROMA_BITS = [0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77]
# Symbols by code length; the rest of each list is every (run, size) symbol
# not named yet, in increasing order.
AC_LUMA_HEAD = [
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52,
    0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25,
]  # fmt: skip
AC_CHROMA_HEAD = [
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33,
    0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18,
]  # fmt: skip
AC_SYMBOLS = [0x00, 0xF0] + [(run << 4) | size for run in range(16) for size in range(1, 11)]


def ac_values(head):
    values = head + sorted(s for s in AC_SYMBOLS if s not in head)
    assert sorted(values) == sorted(AC_SYMBOLS)
    return values


def huffman_codes(bits, values):
    """Symbol -> (code, length) of a canonical Huffman table."""
    assert sum(bits) == len(values)
    codes, code, k = {}, 0, 0
    for length in range(1, 17):
        for _ in range(bits[length - 1]):
            codes[values[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


class BitWriter:
    def __init__(self):
        self.data = bytearray()
        self.acc, self.count = 0, 0

    def put(self, code, length):
        self.acc = (self.acc << length) | code
        self.count += length
        while self.count >= 8:
            self.count -= 8
            byte = (self.acc >> self.count) & 0xFF
            self.data.append(byte)
            if byte == 0xFF:
                self.data.append(0)
        self.acc &= (1 << self.count) - 1

    def flush(self):
        if self.count:
            self.put((1 << (8 - self.count)) - 1, 8 - self.count)


COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)] for u in range(8)]


def fdct(block):
    out = [0.0] * 64
    for v in range(8):
        for u in range(8):
            s = 0.0
            for y in range(8):
                cy = COS[v][y]
                row = block[y * 8 : y * 8 + 8]
                for x in range(8):
                    s += row[x] * COS[u][x] * cy
            cu = math.sqrt(0.5) if u == 0 else 1.0
            cv = math.sqrt(0.5) if v == 0 else 1.0
            out[v * 8 + u] = 0.25 * cu * cv * s
    return out


def magnitude(value):
    size = abs(value).bit_length()
    bits = value if value >= 0 else value + (1 << size) - 1
    return size, bits


def write_jpeg(path, rows, quality=90):
    height, width = len(rows), len(rows[0])
    scale = 5000 / quality if quality < 50 else 200 - 2 * quality
    quants = [
        [max(1, min(255, int((q * scale + 50) // 100))) for q in table]
        for table in (LUMA_QUANT, CHROMA_QUANT)
    ]
    dc_codes = [huffman_codes(DC_LUMA_BITS, DC_VALUES), huffman_codes(DC_CHROMA_BITS, DC_VALUES)]
    ac_luma, ac_chroma = ac_values(AC_LUMA_HEAD), ac_values(AC_CHROMA_HEAD)
    ac_codes = [huffman_codes(AC_LUMA_BITS, ac_luma), huffman_codes(AC_CHROMA_BITS, ac_chroma)]

    def sample(x, y, channel):
        r, g, b, _ = rows[min(y, height - 1)][min(x, width - 1)]
        if channel == 0:
            return 0.299 * r + 0.587 * g + 0.114 * b
        if channel == 1:
            return -0.168736 * r - 0.331264 * g + 0.5 * b + 128
        return 0.5 * r - 0.418688 * g - 0.081312 * b + 128

    writer = BitWriter()
    previous_dc = [0, 0, 0]
    for by in range(0, height, 8):
        for bx in range(0, width, 8):
            for channel in range(3):
                table = 0 if channel == 0 else 1
                block = [sample(bx + i % 8, by + i // 8, channel) - 128 for i in range(64)]
                coefficients = fdct(block)
                quantised = [
                    int(round(coefficients[ZIGZAG[k]] / quants[table][ZIGZAG[k]]))
                    for k in range(64)
                ]
                size, bits = magnitude(quantised[0] - previous_dc[channel])
                previous_dc[channel] = quantised[0]
                writer.put(*dc_codes[table][size])
                if size:
                    writer.put(bits, size)
                run = 0
                for k in range(1, 64):
                    if quantised[k] == 0:
                        run += 1
                        continue
                    while run > 15:
                        writer.put(*ac_codes[table][0xF0])
                        run -= 16
                    size, bits = magnitude(quantised[k])
                    writer.put(*ac_codes[table][(run << 4) | size])
                    writer.put(bits, size)
                    run = 0
                if run:
                    writer.put(*ac_codes[table][0x00])
    writer.flush()

    def segment(marker, data):
        return struct.pack(">HH", marker, len(data) + 2) + data

    out = bytearray(b"\xff\xd8")
    out += segment(0xFFE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
    for index, table in enumerate(quants):
        out += segment(0xFFDB, bytes([index]) + bytes(table[ZIGZAG[k]] for k in range(64)))
    components = b"".join(bytes([i + 1, 0x11, 0 if i == 0 else 1]) for i in range(3))
    out += segment(0xFFC0, struct.pack(">BHHB", 8, height, width, 3) + components)
    for kind, index, bits, values in (
        (0, 0, DC_LUMA_BITS, DC_VALUES),
        (1, 0, AC_LUMA_BITS, ac_luma),
        (0, 1, DC_CHROMA_BITS, DC_VALUES),
        (1, 1, AC_CHROMA_BITS, ac_chroma),
    ):
        out += segment(0xFFC4, bytes([(kind << 4) | index] + bits + values))
    scan = bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0])
    out += segment(0xFFDA, scan)
    out += writer.data + b"\xff\xd9"
    with open(out_path(path), "wb") as f:
        f.write(out)


# ---- DDS (DXT1 or DXT3, one level) ----------------------------------------------


def to565(c):
    return ((c[0] >> 3) << 11) | ((c[1] >> 2) << 5) | (c[2] >> 3)


def from565(v):
    r, g, b = (v >> 11) & 31, (v >> 5) & 63, v & 31
    return ((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2))


def colour_block(pixels):
    """The 8-byte colour part of a block of 16 pixels, in four-colour mode."""
    luma = [p[0] * 299 + p[1] * 587 + p[2] * 114 for p in pixels]
    c0 = to565(pixels[luma.index(max(luma))])
    c1 = to565(pixels[luma.index(min(luma))])
    if c0 < c1:
        c0, c1 = c1, c0
    if c0 == c1:
        return struct.pack("<HHI", c0, c1, 0)
    e0, e1 = from565(c0), from565(c1)
    palette = [
        e0,
        e1,
        tuple((2 * a + b) // 3 for a, b in zip(e0, e1)),
        tuple((a + 2 * b) // 3 for a, b in zip(e0, e1)),
    ]
    indices = 0
    for i, p in enumerate(pixels):
        best = min(range(4), key=lambda k: sum((p[j] - palette[k][j]) ** 2 for j in range(3)))
        indices |= best << (2 * i)
    return struct.pack("<HHI", c0, c1, indices)


def write_dds(path, rows, fourcc):
    height, width = len(rows), len(rows[0])
    blocks = bytearray()
    for by in range(0, height, 4):
        for bx in range(0, width, 4):
            pixels = [rows[by + i // 4][bx + i % 4] for i in range(16)]
            if fourcc == b"DXT3":
                alpha = 0
                for i, p in enumerate(pixels):
                    alpha |= (p[3] >> 4) << (4 * i)
                blocks += struct.pack("<Q", alpha)
            blocks += colour_block(pixels)
    flags = 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000  # caps, height, width, pixel format, size
    header = struct.pack("<7I", 124, flags, height, width, len(blocks), 0, 0) + bytes(44)
    pixel_format = struct.pack("<II4s5I", 32, 0x4, fourcc, 0, 0, 0, 0, 0)
    caps = struct.pack("<5I", 0x1000, 0, 0, 0, 0)
    with open(out_path(path), "wb") as f:
        f.write(b"DDS " + header + pixel_format + caps + bytes(blocks))


# ---- Terrain textures -------------------------------------------------------------

SIZE = 64


def speckled(base, seed, depth):
    return lambda x, y: tint(base, 1.0 - depth + depth * 2 * fractal(x, y, seed))


def terrain_textures():
    # Chequered sand: what a cell shows when it is given "default.png".
    write_png(
        "textures/default.png",
        image(SIZE, lambda x, y: tint((214, 190, 140), 1.0 if (x // 8 + y // 8) % 2 else 0.85)),
    )
    write_png("textures/snow.png", image(SIZE, speckled((246, 248, 252), 1, 0.05)))

    def slush(x, y):
        n = fractal(x, y, 2)
        return (200, 204, 210) if n > 0.58 else tint((236, 238, 242), 0.96 + 0.08 * n)

    write_jpeg("textures/slapsnow.jpg", image(SIZE, slush))

    def ice(x, y):
        crack = abs(noise(x / 9.0, y / 9.0, 3) - 0.5) < 0.03
        return (120, 190, 215) if crack else tint((150, 225, 240), 0.92 + 0.16 * fractal(x, y, 4))

    write_jpeg("textures/ice.jpg", image(SIZE, ice))

    def stone(x, y):
        n = fractal(x, y, 5)
        joint = (x % 16 in (0, 15)) or ((y + (8 if (x // 16) % 2 else 0)) % 16 in (0, 15))
        return tint((132, 130, 126), 0.6 if joint else 0.85 + 0.3 * n)

    write_dds("textures/stone.dds", image(SIZE, stone), b"DXT1")

    def grass(x, y):
        blade = noise(x / 1.5, y / 6.0, 6)
        return tint((74, 142, 56), 0.75 + 0.45 * blade) + (255,)

    write_dds("textures/grass.dds", image(SIZE, grass), b"DXT3")
    write_jpeg("textures/blue.jpg", image(SIZE, speckled((40, 90, 200), 7, 0.12)))

    # The selected cell: a yellow field inside a red frame.
    def selection(x, y):
        frame = min(x, y, SIZE - 1 - x, SIZE - 1 - y) < 6
        return (220, 30, 30) if frame else (250, 220, 40)

    write_png("textures/sel.png", image(SIZE, selection))


# ---- Meshes -------------------------------------------------------------------------


class Mesh:
    """OBJ text built from axis-aligned boxes and pyramids, faces clockwise when
    seen from outside (the viewer's front faces)."""

    def __init__(self, material_file):
        self.lines = [f"mtllib {material_file}"]
        self.positions = self.coords = self.normals = 0

    def use(self, material):
        self.lines.append(f"usemtl {material}")

    def _vertex(self, kind, values):
        self.lines.append(kind + " " + " ".join(f"{v:g}" for v in values))

    def quad(self, corners, normal, texture_size):
        """corners: bottom-left, top-left, top-right, bottom-right as seen from
        outside; texture_size: (u, v) span of the texture over the quad."""
        for corner in corners:
            self._vertex("v", corner)
        su, sv = texture_size
        for uv in ((0, sv), (0, 0), (su, 0), (su, sv)):
            self._vertex("vt", uv)
        self._vertex("vn", normal)
        p, t, n = self.positions, self.coords, self.normals + 1
        corner = [f"{p + i}/{t + i}/{n}" for i in range(1, 5)]
        self.lines.append(f"f {corner[0]} {corner[1]} {corner[2]}")
        self.lines.append(f"f {corner[0]} {corner[2]} {corner[3]}")
        self.positions += 4
        self.coords += 4
        self.normals += 1

    def box(self, centre, size, texel=None):
        """A box of the given size; texel: world size of one texture repeat
        (None: the texture spans each face once)."""
        axes = [(1, 0, 0), (0, 1, 0), (0, 0, 1)]
        for axis in range(3):
            for sign in (-1, 1):
                normal = tuple(sign * a for a in axes[axis])
                up = axes[2] if axis == 1 else axes[1]
                right = cross(normal, up)
                half = [s / 2 for s in size]
                centre_face = add(centre, scale(normal, half[axis]))
                width = sum(abs(r) * s for r, s in zip(right, size))
                height = sum(abs(u) * s for u, s in zip(up, size))
                r, u = scale(right, width / 2), scale(up, height / 2)
                corners = [
                    sub(sub(centre_face, r), u),
                    add(sub(centre_face, r), u),
                    add(add(centre_face, r), u),
                    sub(add(centre_face, r), u),
                ]
                span = (1, 1) if texel is None else (width / texel, height / texel)
                self.quad(corners, normal, span)

    def triangle_fan(self, apex, base, normal_of):
        """Triangles from apex over each edge of the base ring, each given its
        face normal."""
        for a, b in zip(base, base[1:] + base[:1]):
            normal = normal_of(apex, a, b)
            for corner in (apex, a, b):
                self._vertex("v", corner)
            for uv in ((0.5, 0), (0, 1), (1, 1)):
                self._vertex("vt", uv)
            self._vertex("vn", normal)
            p, t, n = self.positions, self.coords, self.normals + 1
            self.lines.append(f"f {p + 1}/{t + 1}/{n} {p + 2}/{t + 2}/{n} {p + 3}/{t + 3}/{n}")
            self.positions += 3
            self.coords += 3
            self.normals += 1

    def write(self, path):
        with open(out_path(path), "w", newline="\n") as f:
            f.write("\n".join(self.lines) + "\n")


def add(a, b):
    return tuple(x + y for x, y in zip(a, b))


def sub(a, b):
    return tuple(x - y for x, y in zip(a, b))


def scale(a, s):
    return tuple(x * s for x in a)


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def unit(a):
    length = math.sqrt(sum(x * x for x in a))
    return tuple(x / length for x in a)


def write_mtl(path, materials):
    lines = []
    for name, props in materials:
        lines.append(f"newmtl {name}")
        lines += [f"{key} {value}" for key, value in props]
        lines.append("")
    with open(out_path(path), "w", newline="\n") as f:
        f.write("\n".join(lines))


# The demo's path, as the demo scene places its boxes.
WAY_POINTS = [(-630, -181), (518, -181), (518, 27), (-157, 27), (-157, 132), (367, 132)]


def meshes():
    # The fallback box: plain grey, so that a mesh that failed to load shows.
    box = Mesh("box.mtl")
    box.use("box")
    box.box((0, 0, 0), (20, 20, 20))
    box.write("meshes/box.obj")
    write_mtl("meshes/box.mtl", [("box", [("Ka", "0.4 0.4 0.4"), ("Kd", "0.7 0.7 0.7"), ("illum", 1)])])

    # An agent without a mesh of its own: a shiny diamond.
    marker = Mesh("default.mtl")
    marker.use("marker")
    ring = [(8, 0, 0), (0, 0, -8), (-8, 0, 0), (0, 0, 8)]

    def outward(apex, a, b):
        return unit(cross(sub(a, apex), sub(b, apex)))

    marker.triangle_fan((0, 12, 0), ring, outward)
    marker.triangle_fan((0, -12, 0), ring[::-1], outward)
    marker.write("meshes/default.obj")
    write_mtl(
        "meshes/default.mtl",
        [("marker", [("Ka", "0.1 0.35 0.45"), ("Kd", "0.2 0.7 0.9"), ("Ks", "1 1 1"),
                     ("Ns", 40), ("illum", 2)])],
    )  # fmt: skip

    # The demo's parcel: a cardboard box with a strip of tape.
    parcel = Mesh("paquet.mtl")
    parcel.use("cardboard")
    parcel.box((0, 0, 0), (30, 24, 24))
    parcel.write("meshes/paquet.obj")
    write_mtl(
        "meshes/paquet.mtl",
        [("cardboard", [("Ka", "0.55 0.55 0.55"), ("Kd", "0.8 0.8 0.8"), ("illum", 1),
                        ("map_Kd", "paquet.png")])],
    )  # fmt: skip

    def cardboard(x, y):
        if abs(x - SIZE / 2) < 6:
            return tint((214, 184, 126), 0.97 + 0.06 * noise(x / 2.0, y / 2.0, 8))
        return tint((176, 124, 72), 0.9 + 0.2 * fractal(x, y, 9))

    write_png("meshes/paquet.png", image(SIZE, cardboard))

    # The demo's layout: a belt behind each leg of the path (the parcels pass
    # in front of it, at z = -9) and a pad at each way point.
    layout = Mesh("layout5.mtl")
    layout.use("belt")
    half_width, front, depth = 20, 6, 6
    for (x0, y0), (x1, y1) in zip(WAY_POINTS, WAY_POINTS[1:]):
        lo = (min(x0, x1) - half_width, min(y0, y1) - half_width)
        hi = (max(x0, x1) + half_width, max(y0, y1) + half_width)
        centre = ((lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, front + depth / 2)
        layout.box(centre, (hi[0] - lo[0], hi[1] - lo[1], depth), texel=40)
    layout.use("pad")
    for x, y in WAY_POINTS:
        layout.box((x, y, front - 1), (50, 50, 2))
    layout.write("meshes/layout5.obj")
    write_mtl(
        "meshes/layout5.mtl",
        [("belt", [("Ka", "0.5 0.5 0.5"), ("Kd", "0.8 0.8 0.8"), ("Ks", "0.6 0.6 0.6"),
                   ("Ns", 24), ("illum", 2), ("map_Kd", "belt.png")]),
         ("pad", [("Ka", "0.45 0.4 0.1"), ("Kd", "0.9 0.8 0.2"), ("illum", 1)])],
    )  # fmt: skip

    # The sample model's players: a bat whose round blade faces along x, on a
    # handle that points down; the blade is two-sided, so bats face each
    # other without a turn.
    bat = Mesh("bat.mtl")
    bat.use("rubber")
    radius, half_thickness, centre_y, sides = 10.0, 0.6, 12.0, 24
    ring = [
        (centre_y + radius * math.cos(2 * math.pi * i / sides), radius * math.sin(2 * math.pi * i / sides))
        for i in range(sides)
    ]
    for x, normal in ((half_thickness, (1, 0, 0)), (-half_thickness, (-1, 0, 0))):
        face = [(x, y, z) for y, z in ring]
        bat.triangle_fan((x, centre_y, 0), face if x < 0 else face[::-1], lambda apex, a, b, n=normal: n)
    for (y0, z0), (y1, z1) in zip(ring, ring[1:] + ring[:1]):
        middle = unit((0, (y0 + y1) / 2 - centre_y, (z0 + z1) / 2))
        corners = [(-half_thickness, y0, z0), (half_thickness, y0, z0), (half_thickness, y1, z1),
                   (-half_thickness, y1, z1)]  # fmt: skip
        bat.quad(corners, middle, (1, 1))
    bat.use("wood")
    bat.box((0, 1, 0), (1, 14, 2))
    bat.write("meshes/bat.obj")
    write_mtl(
        "meshes/bat.mtl",
        [("rubber", [("Ka", "0.35 0.05 0.05"), ("Kd", "0.8 0.12 0.1"), ("Ks", "0.5 0.5 0.5"),
                     ("Ns", 16), ("illum", 2)]),
         ("wood", [("Ka", "0.35 0.25 0.15"), ("Kd", "0.7 0.5 0.3"), ("illum", 1)])],
    )  # fmt: skip

    def belt(x, y):
        rib = (x % 16) < 3
        return tint((70, 72, 78), 0.7 if rib else 0.95 + 0.1 * noise(x / 3.0, y / 3.0, 10))

    write_png("meshes/belt.png", image(SIZE, belt))


# ---- Sample terrain -----------------------------------------------------------------


def terrain():
    """A valley of 40 x 30 cells of 100 m and a layer of wells lying in it."""
    columns, rows = 40, 30
    min_x, min_y, cell = 500000.0, 4600000.0, 100.0
    values = []
    for r in range(rows):
        for c in range(columns):
            ridge = 60 * math.cos((c - 20) / 40 * math.pi) ** 2
            hills = 25 * math.sin(c / 5.0) * math.cos(r / 4.0) + 15 * noise(c / 3.0, r / 3.0, 11)
            values.append(round(820 - ridge * 2 + hills + 3 * abs(r - 15), 1))
    header = [
        ("file format", "IDRISI Raster A.1"),
        ("file title", "valley"),
        ("data type", "real"),
        ("file type", "ascii"),
        ("columns", columns),
        ("rows", rows),
        ("ref. system", "plane"),
        ("ref. units", "m"),
        ("unit dist.", "1.0000000"),
        ("min. X", f"{min_x:.7f}"),
        ("max. X", f"{min_x + columns * cell:.7f}"),
        ("min. Y", f"{min_y:.7f}"),
        ("max. Y", f"{min_y + rows * cell:.7f}"),
        ("pos'n error", "unknown"),
        ("resolution", f"{cell:.7f}"),
        ("min. value", f"{min(values):g}"),
        ("max. value", f"{max(values):g}"),
        ("value units", "m"),
        ("flag value", "none"),
    ]
    lines = [f"{key:<12}: {value}" for key, value in header]
    with open(out_path("terrain/valley.doc"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    with open(out_path("terrain/valley.img"), "w", newline="\n") as f:
        f.write("\n".join(f"{v:g}" for v in values) + "\n")

    wells = [(500450.0, 4601250.0), (501230.0, 4602710.0), (502050.0, 4601480.0),
             (502890.0, 4600330.0), (503610.0, 4602140.0), (501770.0, 4600860.0)]  # fmt: skip
    with open(out_path("terrain/wells.vec"), "w", newline="\n") as f:
        f.write(f"1 {len(wells)}\n" + "".join(f"{x:.1f} {y:.1f}\n" for x, y in wells))


if __name__ == "__main__":
    terrain_textures()
    meshes()
    terrain()

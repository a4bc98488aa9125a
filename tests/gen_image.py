#!/usr/bin/python3
"""Picture fixtures for core/platform/image, made and read by ImageMagick.

Writes <dir>/image/: each fixture file and, beside it, <file>.bgra holding
what `convert <file> -depth 8 bgra:-` reads from it (rows top first, bytes
blue, green, red, alpha). image/fixtures.tsv lists "<file>\\t<width>\\t
<height>\\t<tolerance>": the largest difference per channel a decoder may
show (JPEG decoders may round their colour conversion differently).

The fixtures: PNG as RGBA, palette, grey, 16-bit RGBA and interlaced RGBA;
JPEG baseline and progressive; BMP 24-bit (bottom-up, rows padded), 32-bit
with bit fields and alpha, and the 24-bit one turned top-down (negative
height, rows reversed). Besides them, huge.png: a valid PNG signature and
IHDR declaring 100,000 x 100,000 pixels followed by a few bytes of IDAT.
"""
import os
import struct
import subprocess
import sys
import zlib

CONVERT = "/usr/bin/convert"
W, H = 13, 7


def pixels_bgra():
    """A pattern of many colours and alpha values, W x H, BGRA bytes."""
    out = bytearray()
    for y in range(H):
        for x in range(W):
            r = (x * 19 + y * 3) % 256
            g = (y * 37 + x * 5) % 256
            b = (x * y * 11 + 40) % 256
            a = 255 if (x + y) % 3 else (x * 23 + y * 41) % 256
            out += bytes((b, g, r, a))
    return bytes(out)


def smooth_bgra():
    """A smooth opaque picture (JPEG's own kind), 32 x 24."""
    out = bytearray()
    for y in range(24):
        for x in range(32):
            out += bytes((x * 8, y * 10, (x + y) * 4, 255))
    return bytes(out)


def convert(args, data=None):
    return subprocess.run([CONVERT] + args, input=data, stdout=subprocess.PIPE,
                          check=True, timeout=60).stdout


def png_chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body +
            struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff))


def main():
    out = os.path.join(sys.argv[1], "image")
    os.makedirs(out, exist_ok=True)
    raw = os.path.join(out, "pattern.bgra.in")
    with open(raw, "wb") as f:
        f.write(pixels_bgra())
    smooth = os.path.join(out, "smooth.bgra.in")
    with open(smooth, "wb") as f:
        f.write(smooth_bgra())
    src = ["-size", "%dx%d" % (W, H), "-depth", "8", "bgra:" + raw]
    src_smooth = ["-size", "32x24", "-depth", "8", "bgra:" + smooth]
    fixtures = [
        ("rgba.png", src + ["PNG32:%s"], 0),
        ("palette.png", src + ["-alpha", "off", "-colors", "16", "PNG8:%s"], 0),
        ("grey.png", src + ["-alpha", "off", "-colorspace", "Gray",
                            "-define", "png:color-type=0", "PNG:%s"], 0),
        ("deep.png", src + ["-depth", "16", "PNG64:%s"], 0),
        ("interlaced.png", src + ["-interlace", "PNG", "PNG32:%s"], 0),
        ("baseline.jpg", src_smooth + ["-quality", "85", "JPEG:%s"], 1),
        ("progressive.jpg", src_smooth + ["-quality", "85", "-interlace", "Plane", "JPEG:%s"], 1),
        ("rgb24.bmp", src + ["-alpha", "off", "BMP3:%s"], 0),
        ("argb32.bmp", src + ["BMP:%s"], 0),
    ]
    rows = []
    for name, args, tolerance in fixtures:
        path = os.path.join(out, name)
        convert(args[:-1] + [args[-1] % path])
        rows.append((name, tolerance))

    # The 24-bit file turned top-down: same header, height negated, rows
    # reversed. ImageMagick reads it back for the expected pixels.
    with open(os.path.join(out, "rgb24.bmp"), "rb") as f:
        bmp = f.read()
    offset, = struct.unpack_from("<I", bmp, 10)
    width, height = struct.unpack_from("<ii", bmp, 18)
    stride = (24 * width + 31) // 32 * 4
    body = [bmp[offset + i * stride: offset + (i + 1) * stride] for i in range(height)]
    flipped = bytearray(bmp[:offset] + b"".join(reversed(body)) + bmp[offset + height * stride:])
    struct.pack_into("<i", flipped, 22, -height)
    with open(os.path.join(out, "topdown24.bmp"), "wb") as f:
        f.write(flipped)
    rows.append(("topdown24.bmp", 0))

    with open(os.path.join(out, "fixtures.tsv"), "w") as manifest:
        for name, tolerance in rows:
            path = os.path.join(out, name)
            size = convert([path, "-format", "%w %h", "info:"]).split()
            pixels = convert([path, "-depth", "8", "bgra:-"])
            w, h = int(size[0]), int(size[1])
            assert len(pixels) == w * h * 4, name
            with open(path + ".bgra", "wb") as f:
                f.write(pixels)
            manifest.write("%s\t%d\t%d\t%d\n" % (name, w, h, tolerance))

    ihdr = struct.pack(">IIBBBBB", 100000, 100000, 8, 6, 0, 0, 0)
    idat = zlib.compress(b"\0" * 64)
    with open(os.path.join(out, "huge.png"), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", idat) +
                png_chunk(b"IEND", b""))
    os.remove(raw)
    os.remove(smooth)


if __name__ == "__main__":
    main()

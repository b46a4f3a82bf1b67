#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (all, or those named as arguments) into
fuzz/corpus/<target>/: small images of every kind each decoder reads (made with Pillow),
configurations, GIF writer recipes, and pipeline inputs (an image followed by the eight option
bytes the target reads from the end).

Run with Debian's /usr/bin/python3 (it has python3-pil). Seeds are small so that the corpus
replay in CTest stays fast; libFuzzer grows its own working corpus from them."""
import io
import json
import os
import random
import struct
import sys

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
rng = random.Random(10)


def picture(mode, w=16, h=12):
    im = Image.new("RGBA", (w, h), (30, 60, 90, 255))
    d = ImageDraw.Draw(im)
    d.rectangle((2, 2, w // 2, h // 2), fill=(250, 20, 20, 255))
    d.line((0, h - 1, w - 1, 0), fill=(20, 240, 20, 128), width=2)
    d.ellipse((w // 2, h // 3, w - 1, h - 1), fill=(0, 0, 0, 0))
    if mode == "P":
        return im.convert("RGB").convert("P", palette=Image.ADAPTIVE, colors=8)
    return im.convert(mode)


def encode(im, fmt, **kw):
    out = io.BytesIO()
    im.save(out, fmt, **kw)
    return out.getvalue()


def exif_rotated():
    exif = Image.Exif()
    exif[0x0112] = 6  # orientation: rotate 90 clockwise
    return exif.tobytes()


def seeds_jpeg():
    rgb = picture("RGB", 24, 17)
    yield "baseline.jpg", encode(rgb, "JPEG", quality=80)
    yield "grey.jpg", encode(picture("L"), "JPEG")
    yield "progressive.jpg", encode(rgb, "JPEG", progressive=True, quality=90)
    yield "progressive-grey.jpg", encode(picture("L", 20, 9), "JPEG", progressive=True)
    yield "subsampling-444.jpg", encode(rgb, "JPEG", subsampling=0)
    yield "subsampling-422.jpg", encode(rgb, "JPEG", subsampling=1)
    yield "cmyk.jpg", encode(picture("CMYK"), "JPEG")
    yield "exif-orientation.jpg", encode(rgb, "JPEG", exif=exif_rotated())
    yield "icc-optimized.jpg", encode(rgb, "JPEG", optimize=True, icc_profile=b"\0" * 128)
    big = encode(picture("RGB", 64, 48), "JPEG", progressive=True, quality=95)
    yield "progressive-cut.jpg", big[: len(big) * 2 // 3]
    # Noise: every refinement scan has coefficients to correct; tables before every scan.
    noise = Image.effect_noise((40, 24), 60).convert("RGB")
    yield "progressive-noise-optimized.jpg", encode(noise, "JPEG", progressive=True, optimize=True,
                                                    subsampling=1, quality=92)
    yield "marker-after-end.jpg", encode(rgb, "JPEG") + b"Amask"


def seeds_png():
    for mode in ("1", "L", "LA", "P", "RGB", "RGBA", "I;16"):
        im = picture("RGB") if mode == "I;16" else picture(mode)
        if mode == "I;16":
            im = picture("L").convert("I").point(lambda v: v * 200).convert("I;16")
        yield "mode-%s.png" % mode.replace(";", ""), encode(im, "PNG")
    p = picture("P")
    yield "palette-trns.png", encode(p, "PNG", transparency=0)
    yield "rgb-trns.png", encode(picture("RGB"), "PNG", transparency=(30, 60, 90))
    yield "optimized.png", encode(picture("RGB"), "PNG", optimize=True)
    yield "icc.png", encode(picture("RGB"), "PNG", icc_profile=b"\0" * 64)
    yield "exif.png", encode(picture("RGB"), "PNG", exif=exif_rotated())
    whole = encode(picture("RGBA", 32, 32), "PNG")
    yield "cut.png", whole[: len(whole) // 2]


def seeds_gif():
    yield "still.gif", encode(picture("P"), "GIF")
    yield "still-transparent.gif", encode(picture("P"), "GIF", transparency=1)
    frames = [picture("P", 16, 12).rotate(a) for a in (0, 90, 180)]
    yield "animated.gif", encode(frames[0], "GIF", save_all=True, append_images=frames[1:],
                                 duration=[50, 80, 120], loop=0)
    yield "animated-disposal.gif", encode(frames[0], "GIF", save_all=True,
                                          append_images=frames[1:], disposal=[1, 2, 3],
                                          transparency=0, duration=40)
    yield "interlaced.gif", encode(picture("P", 20, 20), "GIF", interlace=True)
    small = picture("P", 6, 4)
    # A later frame smaller than the screen and placed off the origin.
    yield "offset-frame.gif", encode(picture("P", 16, 12), "GIF", save_all=True,
                                     append_images=[small], optimize=False)


def seeds_webp():
    yield "lossy.webp", encode(picture("RGB"), "WEBP", quality=70)
    yield "lossless.webp", encode(picture("RGB"), "WEBP", lossless=True)
    yield "alpha.webp", encode(picture("RGBA"), "WEBP", quality=60)
    yield "alpha-lossless.webp", encode(picture("RGBA"), "WEBP", lossless=True)
    frames = [picture("RGBA", 12, 10).rotate(a) for a in (0, 90)]
    yield "animated.webp", encode(frames[0], "WEBP", save_all=True, append_images=frames[1:],
                                  duration=60)
    yield "exif.webp", encode(picture("RGB"), "WEBP", exif=exif_rotated())


def seeds_bmp():
    for mode in ("1", "L", "P", "RGB", "RGBA"):
        yield "mode-%s.bmp" % mode, encode(picture(mode), "BMP")
    # Top-down rows (negative height), 16-bit 5-5-5 pixels, 4-bit palette: by hand.
    w, h = 5, 3
    row16 = b"".join(struct.pack("<H", (x * 6) << 10 | (x * 3) << 5 | x) for x in range(w))
    row16 += b"\0" * (-len(row16) % 4)
    pixels = row16 * h
    header = struct.pack("<IiiHHIIiiII", 40, w, -h, 1, 16, 0, len(pixels), 2835, 2835, 0, 0)
    yield "top-down-16bit.bmp", (b"BM" + struct.pack("<IHHI", 14 + 40 + len(pixels), 0, 0, 54)
                                 + header + pixels)
    palette = b"".join(bytes((i * 16, 255 - i * 16, i * 8, 0)) for i in range(16))
    row4 = bytes((0x01, 0x23, 0x40, 0x00))
    pixels = row4 * h
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 4, 0, len(pixels), 0, 0, 16, 0)
    offset = 14 + 40 + len(palette)
    yield "4bit.bmp", (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
                       + header + palette + pixels)
    # Run-length coded 8 and 4-bit data: runs, stored stretches, a jump, line ends, the end.
    for bits, compression, data in ((8, 1, b"\x03\x01\x00\x03\x02\x05\x07\x00\x00\x02\x01\x01"
                                                b"\x02\x04\x00\x00\x00\x01"),
                                    (4, 2, b"\x05\x12\x00\x05\x34\x56\x70\x00\x00\x00\x06\xab"
                                           b"\x00\x01")):
        header = struct.pack("<IiiHHIIiiII", 40, 12, 3, 1, bits, compression, len(data), 0, 0, 16,
                             0)
        yield "rle%d.bmp" % bits, (b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset)
                                   + header + palette + data)


def seeds_tiff():
    for mode in ("1", "L", "P", "RGB", "RGBA"):
        yield "mode-%s.tif" % mode, encode(picture(mode), "TIFF")
    for compression in ("tiff_lzw", "tiff_adobe_deflate", "packbits", "jpeg"):
        yield "%s.tif" % compression, encode(picture("RGB"), "TIFF", compression=compression)
    yield "grey-alpha.tif", encode(picture("LA"), "TIFF")


def seeds_config_json():
    with open(os.path.join(HERE, "..", "examples", "sample-config.json"), "rb") as f:
        sample = f.read()
    yield "sample.json", sample
    cfg = json.loads(sample)
    cfg["maskmode"] = 3
    cfg["exts"] = "*.*"
    cfg["result"] = {"ctime": "1700000000", "compresscount": 1, "maskcount": 0, "files": []}
    yield "with-result.json", json.dumps(cfg).encode()
    yield "escapes.json", (b'{"folder": "/s\\u00e9\\ud83d\\ude00\\ud800x", "maskmode": 1.0, '
                           b'"exts": [], "utimemode": null, "utime": false, "n": [1e400, -0, '
                           b'123456789012345678901234567890, 0.1, NaN, -Infinity]}')
    yield "bom.json", b'\xef\xbb\xbf{"folder": "x", "maskmode": 2}'
    yield "nested.json", b"[" * 40 + b"{}" + b"]" * 40


def seeds_gif_writer():
    # Recipes are read from the end; random bytes of a few lengths are as good a start as any.
    for n in (8, 40, 200, 700, 2000):
        yield "random-%d" % n, bytes(rng.randrange(256) for _ in range(n))


OPTIONS = [
    # extension, maskmode, yswidth, ysheight, quality, ctrsize*8, flags, watermark
    (0, 0, 0, 0, 0, 0, 0, 0),
    (0, 0, 20, 0, 70, 0, 1, 0),
    (2, 1, 0, 30, 0, 8, 2, 0x35),
    (3, 2, 24, 24, 50, 0, 0x41, 0x97),
    (4, 0, 0, 0, 85, 40, 0x28, 0),
    (5, 2, 10, 10, 0, 0, 0x16, 0x2f),
]


def option_bytes(o):
    # The target takes the last byte first.
    return bytes(reversed(o))


def seeds_still_pipeline():
    images = {
        "jpg": encode(picture("RGB", 40, 30), "JPEG", quality=95),
        "progressive": encode(picture("RGB", 40, 30), "JPEG", progressive=True),
        "png": encode(picture("RGBA", 40, 30), "PNG"),
        "palette-png": encode(picture("P", 20, 20), "PNG", transparency=0),
        "gif": encode(picture("P", 30, 20), "GIF"),
        "animated-gif": encode(picture("P", 16, 12), "GIF", save_all=True,
                               append_images=[picture("P", 16, 12).rotate(90)], duration=50),
        "webp": encode(picture("RGBA", 30, 20), "WEBP"),
        "bmp": encode(picture("RGB", 24, 16), "BMP"),
    }
    for i, (name, data) in enumerate(sorted(images.items())):
        for k in range(2):
            o = OPTIONS[(i + k * 3) % len(OPTIONS)]
            yield "%s-%d" % (name, k), data + option_bytes(o)


def main():
    only = set(sys.argv[1:])  # target names; none: all of them
    for target, make in [("decode_jpeg", seeds_jpeg), ("decode_png", seeds_png),
                         ("decode_gif", seeds_gif), ("decode_webp", seeds_webp),
                         ("decode_bmp", seeds_bmp), ("decode_tiff", seeds_tiff),
                         ("config_json", seeds_config_json),
                         ("gif_writer", seeds_gif_writer),
                         ("still_pipeline", seeds_still_pipeline)]:
        if only and target not in only:
            continue
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in make():
            with open(os.path.join(folder, "seed-" + name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

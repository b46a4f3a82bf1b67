"""The two watermarks done the plain way with Pillow, for comparison with img_util.

    watermark_pillow.py word IMAGE FONT TEXT [REPEAT] [OUT.png]
    watermark_pillow.py pic IMAGE LOGO SCALE OPACITY [REPEAT] [OUT.png]

Prints the first and the best time of the operation on the decoded image and the process's
peak memory.
"""
import resource
import sys
import time

from PIL import Image, ImageDraw, ImageEnhance, ImageFont


def word(im, font_path, text, size=36, fill="#00000080"):
    font = ImageFont.truetype(font_path, size)
    w, h = im.size
    new_img = Image.new("RGBA", (3 * w, 3 * h), (0, 0, 0, 0))
    new_img.paste(im, (w, h))
    font_len = len(text)
    rgba_image = new_img.convert("RGBA")
    text_overlay = Image.new("RGBA", rgba_image.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(text_overlay)
    v = int(40 * size / 36)
    for i in range(0, rgba_image.size[0], font_len * v):
        for j in range(0, rgba_image.size[1], 200):
            draw.text((i, j), text, font=font, fill=fill)
    text_overlay = text_overlay.rotate(-45)
    image_with_text = Image.alpha_composite(rgba_image, text_overlay)
    return image_with_text.crop((w, h, 2 * w, 2 * h))


def pic(im, logo_path, scale, opacity_percent):
    image_x, image_y = im.size
    mark = Image.open(logo_path)
    watermark_x, watermark_y = mark.size
    if scale:
        _scale = max(image_y / (scale * watermark_y), image_x / (scale * watermark_x))
        if _scale > 0:
            new_size = (int(watermark_x * _scale), int(watermark_y * _scale))
            mark = mark.resize(new_size, resample=Image.LANCZOS)
            watermark_x, watermark_y = new_size
    opacity = opacity_percent / 100.0
    if 0 < opacity < 0.99:
        alpha = mark.split()[3]
        alpha = ImageEnhance.Brightness(alpha).enhance(opacity)
        mark.putalpha(alpha)
    im = im.convert("RGBA")
    layer = Image.new("RGBA", im.size, (0, 0, 0, 0))
    pos = (image_x - watermark_x, image_y - watermark_y)
    layer.paste(mark, pos)
    return Image.composite(layer, im, layer)


def main(argv):
    op, path = argv[1], argv[2]
    im = Image.open(path)
    im.load()
    if op == "word":
        args, rest = (argv[3], argv[4]), argv[5:]
        run = lambda: word(im, *args)
    else:
        args, rest = (argv[3], float(argv[4]), float(argv[5])), argv[6:]
        run = lambda: pic(im, *args)
    repeat = int(rest[0]) if rest else 3
    best, first, out = float("inf"), None, None
    for _ in range(repeat):
        out = None
        t0 = time.perf_counter()
        out = run()
        secs = time.perf_counter() - t0
        first = secs if first is None else first
        best = min(best, secs)
    if len(rest) > 1:
        out.save(rest[1])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print("seconds=%.4f first=%.4f peak_rss_mib=%.1f pixels=%dx%d" % (best, first, peak, im.size[0], im.size[1]))


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/python3
"""The compression job of one photo done with Pillow, the way a Pillow-based module does it.

usage: pillow_compress.py CONFIG.json SOURCE TARGET

Downscales and re-encodes SOURCE towards the configured size target (trial encodings written
to the scratch directory and measured on disk), then writes the result to TARGET with the
optimize option and the encoder's default quality, and appends the compression-only marker.
Prints one JSON line: the size of the last measured trial (KiB), whether it was adopted, and
the size of the written file (KiB).

Needs Debian's /usr/bin/python3 with python3-pil.
"""
import json
import os
import sys

from PIL import Image, ImageFile

ImageFile.LOAD_TRUNCATED_IMAGES = True


def get_size(path):
    return os.path.getsize(path) / 1024


def compress(fpath, cfg, report, im=None, iscount=1):
    if not cfg.get("iscompress") and cfg["maskmode"] != 1:
        return im
    state = 0
    if not im:
        try:
            im = Image.open(fpath)
        except Exception:
            return None
    x, y = im.size
    ImageFile.MAXBLOCK = x * y
    optimize = cfg.get("optimize", 0)
    yswidth = cfg.get("yswidth")
    ysheight = cfg.get("ysheight")
    if yswidth or ysheight:
        if not ysheight:
            ysheight = int(y * yswidth / x)
        elif not yswidth:
            yswidth = int(x * ysheight / y)
        if yswidth >= x and ysheight >= y:
            pass
        elif yswidth <= x and ysheight <= y:
            # LANCZOS is the filter that the old name ANTIALIAS stands for.
            im = im.resize((yswidth, ysheight), Image.LANCZOS)
            state = 1
        elif cfg["maskmode"] == 1:
            return None
    tmp = cfg.get("tmpPath") or "./temp"
    if not os.path.isdir(tmp):
        os.mkdir(tmp)
    ext = fpath.split(".")[-1]
    infile = tmp + "/infile." + ext
    try:
        im.save(infile)
    except Exception:
        im = im.convert("RGB")
        im.save(infile)
        state = 1
    ctrsize = cfg.get("ctrsize")
    quality = cfg.get("quality") or 100
    if 0 < quality and quality < 100:
        o_size = get_size(infile)
        start_size = o_size
        outfile = tmp + "/outfile." + ext
        if ctrsize:
            if o_size > ctrsize:
                step = 10
                while start_size > ctrsize and quality > 0:
                    im.save(outfile, quality=quality, optimize=optimize)
                    report["qualities"].append(quality)
                    if quality - step <= 0:
                        step = step - int(step / 2)
                        if quality <= 1:
                            break
                    quality = quality - step
                    start_size = get_size(outfile)
                if o_size > start_size:
                    state = 1
                    im = Image.open(outfile)
                    im.load()
                    report["adopted"] = True
        else:
            im.save(outfile, quality=quality, optimize=optimize)
            start_size = get_size(outfile)
            if o_size > start_size:
                im = Image.open(outfile)
                im.load()
                state = 1
                report["adopted"] = True
        report["trial_kib"] = start_size
    if iscount and state == 1:
        cfg["result"]["compresscount"] += 1
    if cfg["maskmode"] == 1 and state == 0:
        return None
    return im


def save(path, cfg, im):
    if not im:
        return
    optimize = cfg.get("optimize", 0)
    try:
        im.save(path, optimize=optimize)
    except Exception:
        im = im.convert("RGB")
        im.save(path)
    with open(path, "ab+") as f:
        f.write(b"Amask" if cfg["maskmode"] == 1 else b"Bmask")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    config, source, target = sys.argv[1:]
    with open(config) as f:
        cfg = json.load(f)
    cfg.setdefault("result", {"compresscount": 0, "maskcount": 0, "files": []})
    report = {"adopted": False, "trial_kib": None, "qualities": []}
    save(target, cfg, compress(source, cfg, report))
    report["written_kib"] = get_size(target) if os.path.exists(target) else None
    print(json.dumps(report))


if __name__ == "__main__":
    main()

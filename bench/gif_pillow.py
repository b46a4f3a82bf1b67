#!/usr/bin/python3
"""Reference for the GIF benchmark: the animated-GIF frame pipeline in Python with Pillow.

usage: gif_pillow.py CONFIG.json PLUGIN_DIR

Processes every animated GIF directly inside cfg["folder"] the way a Pillow-based module would:
each frame reduced to an adaptive palette, written to its JPEG scratch file (the palette save
fails, the RGB fallback is written), compressed (downscale, then one re-encode at cfg["quality"]
adopted when smaller), reduced to a palette again; the frames assembled into PLUGIN_DIR/tmp.gif
(loop 0, first frame's duration, optimize) and, in the compression-only mode, written to the
target under cfg["outpath"] with its marker only when smaller than the source.
Prints one JSON line: {"files": n, "written": n, "compresscount": n}.
"""
import json
import os
import sys

from PIL import Image, ImageFile, ImageSequence

ImageFile.LOAD_TRUNCATED_IMAGES = True


def get_size(path):
    return os.path.getsize(path) / 1024


def compress(fpath, cfg, im=None, iscount=1):
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
    yswidth, ysheight = cfg.get("yswidth"), cfg.get("ysheight")
    if yswidth or ysheight:
        if not ysheight:
            ysheight = int(y * yswidth / x)
        elif not yswidth:
            yswidth = int(x * ysheight / y)
        if yswidth >= x and ysheight >= y:
            pass
        elif yswidth <= x and ysheight <= y:
            im = im.resize((yswidth, ysheight), Image.LANCZOS)
            state = 1
        elif cfg["maskmode"] == 1:
            return None
    tmp = cfg.get("tmpPath") or "./temp"
    if not os.path.isdir(tmp):
        os.mkdir(tmp)
    ext = fpath.split(".")[-1]
    infile, outfile = tmp + "/infile." + ext, tmp + "/outfile." + ext
    try:
        im.save(infile)
    except Exception:
        im = im.convert("RGB")
        im.save(infile)
        state = 1
    ctrsize = cfg.get("ctrsize")
    quality = cfg.get("quality") or 100
    if 0 < quality < 100:
        o_size = get_size(infile)
        start_size = o_size
        if ctrsize:
            if o_size > ctrsize:
                step = 10
                while start_size > ctrsize and quality > 0:
                    im.save(outfile, quality=quality, optimize=optimize)
                    if quality - step <= 0:
                        step -= step // 2
                        if quality <= 1:
                            break
                    quality -= step
                    start_size = get_size(outfile)
                if o_size > start_size:
                    state = 1
                    im = Image.open(outfile)
        else:
            im.save(outfile, quality=quality, optimize=optimize)
            start_size = get_size(outfile)
            if o_size > start_size:
                im = Image.open(outfile)
                state = 1
    if iscount and state == 1:
        cfg["result"]["compresscount"] += 1
    if cfg["maskmode"] == 1 and state == 0:
        return None
    return im


def doing_gif(fpath, cfg, plugin_dir, tmp_path):
    """The animated part of the GIF pipeline; returns whether the target was written."""
    im = Image.open(fpath)
    if not getattr(im, "is_animated", False):
        return False
    size0 = os.path.getsize(fpath)
    cfg["result"]["files"].append(fpath)
    duration = im.info["duration"]
    images = []
    for index, frame in enumerate(ImageSequence.Iterator(im), start=1):
        frame = frame.copy()
        tpath = os.path.join(tmp_path, "src%s.jpg" % index)
        try:
            frame = frame.convert("RGB").convert("P", palette=Image.ADAPTIVE, colors=256)
            frame.save(tpath, optimize=True)
        except IOError:
            frame = frame.convert("RGB")
            frame.save(tpath, optimize=True)
        iscount = 1 if index == 1 else 0
        tim = compress(tpath, cfg, im=frame, iscount=iscount)
        if tim:
            tim = tim.convert("RGB")
        tim = (tim or frame).convert("RGB").convert("P", palette=Image.ADAPTIVE, colors=256)
        images.append(tim or frame)
    path2 = os.path.join(plugin_dir, "tmp.gif")
    images[0].save(path2, "gif", save_all=True, append_images=images[1:], loop=0,
                   duration=duration, optimize=True)
    size2 = os.path.getsize(path2)
    if cfg["maskmode"] == 1 and size2 >= size0:
        return False
    path = os.path.join(cfg["outpath"], os.path.basename(fpath))
    if os.path.isfile(path):
        os.remove(path)
    with open(path, "wb") as f, open(path2, "rb") as g:
        f.write(g.read())
    with open(path, "ab+") as f:
        f.write(b"Amask" if cfg["maskmode"] == 1 else b"Bmask")
    return True


def main():
    with open(sys.argv[1]) as f:
        cfg = json.load(f)
    plugin_dir = sys.argv[2]
    cfg.setdefault("result", {"ctime": 0, "compresscount": 0, "maskcount": 0, "files": []})
    tmp_path = os.path.join(plugin_dir, "temp")
    os.makedirs(tmp_path, exist_ok=True)
    os.makedirs(cfg["outpath"], exist_ok=True)
    files = written = 0
    for name in sorted(os.listdir(cfg["folder"])):
        if name.lower().endswith(".gif"):
            files += 1
            written += doing_gif(os.path.join(cfg["folder"], name), cfg, plugin_dir, tmp_path)
    print(json.dumps({"files": files, "written": written,
                      "compresscount": cfg["result"]["compresscount"]}))


if __name__ == "__main__":
    main()

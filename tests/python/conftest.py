"""Shared fixtures: the module under test, a temporary plugin directory for every test, and
small image trees made with Pillow."""

import os
import shutil
import sys
import time
from pathlib import Path

import pytest

BUILD_DIR = os.environ.get("IMG_UTIL_BUILD_DIR")
if BUILD_DIR and BUILD_DIR not in sys.path:
    sys.path.insert(0, BUILD_DIR)

import img_util  # noqa: E402
from PIL import Image, ImageDraw  # noqa: E402

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
CJK_FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"


@pytest.fixture(autouse=True)
def plugin_dir(tmp_path):
    """Every test gets its own plugin directory; the default one is never touched."""
    path = tmp_path / "plugin"
    path.mkdir()
    img_util.set_plugin_dir(str(path))
    saved_debug = img_util._debug
    yield path
    img_util._debug = saved_debug


def picture(width, height, seed=0):
    """A deterministic picture with gradients and shapes, so encoders have real work."""
    im = Image.new("RGB", (width, height))
    px = im.load()
    for y in range(height):
        for x in range(width):
            px[x, y] = ((x * 255 // width + seed * 40) % 256, (y * 255 // height) % 256,
                        ((x ^ y) * 7 + seed * 13) % 256)
    draw = ImageDraw.Draw(im)
    draw.ellipse((width // 5, height // 5, width * 3 // 5, height * 4 // 5), fill=(200, 30, 60))
    draw.rectangle((width // 2, height // 3, width - 10, height - 10), outline=(0, 0, 0), width=3)
    return im


def make_tree(root):
    """A small site folder: photos at the top and one level down, a PNG with transparency,
    a text file that no extension filter admits. Returns the image paths, sorted."""
    root = Path(root)
    (root / "sub").mkdir(parents=True)
    picture(320, 240, 1).save(root / "a.jpg", quality=95)
    picture(300, 300, 2).save(root / "sub" / "b.jpg", quality=95)
    rgba = picture(240, 160, 3).convert("RGBA")
    rgba.putalpha(Image.new("L", rgba.size, 200))
    rgba.save(root / "c.png")
    (root / "notes.txt").write_text("not an image\n")
    return sorted(str(p) for p in (root / "a.jpg", root / "sub" / "b.jpg", root / "c.png"))


def make_logo(path):
    logo = Image.new("RGBA", (60, 30), (255, 255, 255, 0))
    ImageDraw.Draw(logo).rectangle((2, 2, 57, 27), fill=(20, 120, 220, 255))
    logo.save(path)
    return str(path)


def make_cfg(folder, mode, plugin, **overrides):
    """A configuration as a host builds it, for `maskmode` = mode."""
    cfg = {
        "folder": str(folder),
        "subfold": True,
        "jumperr": True,
        "maskmode": mode,
        "outpath": "",
        "exts": [".jpg", ".jpeg", ".png"],
        "_exts": "",
        "utimemode": 0,
        "utime": "",
        "minsize": 0,
        "minwidth": 0,
        "isprotect": True,
        "isaprotect": False,
        "isbackup": True,
        "iscompress": True,
        "yswidth": 200,
        "ysheight": 0,
        "ctrsize": 0,
        "quality": 80,
        "optimize": 0,
        "tmpPath": str(Path(plugin) / "scratch"),
        "masktext": "img_util",
        "fontttf": FONT,
        "fontsize": 20,
        "rgba": "#ff000080",
        "maskimgPath": make_logo(Path(plugin) / "logo.png"),
        "maskscale": 4,
        "maskopacity": 50,
        "markpos": "rightbottom",
        "marginx": 5,
        "marginy": 5,
        "clearexif": False,
        "isopaque": False,
        "isgifsicle": False,
        "gif_qty": "O2",
        "gif_color": 8,
        "gif_loss": 30,
        "result": {"ctime": int(time.time()), "compresscount": 0, "maskcount": 0, "files": []},
    }
    cfg.update(overrides)
    return cfg


def cli_path():
    """The command-line tool built next to the module."""
    build = Path(BUILD_DIR) if BUILD_DIR else Path(img_util.__file__).parent
    path = build / "img_util"
    return path if path.is_file() and os.access(path, os.X_OK) else None


def copy_tree(src, dst):
    shutil.copytree(src, dst)
    return dst

"""What a host sees when it loads the module: names, class attributes, operations and their
parameters, and errors as Python exceptions."""

import errno
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import img_util
from conftest import BUILD_DIR, make_cfg, picture


def test_public_names_and_values(plugin_dir):
    assert img_util.__all__ == ["IMAGES"]
    assert img_util.basedir == str(plugin_dir)
    assert img_util.plugin_path == str(plugin_dir)
    assert img_util._debug is False
    assert img_util.IMAGES.allmaxsize == 1932525568
    assert img_util.IMAGES().allmaxsize == 1932525568


def test_set_plugin_dir_moves_the_derived_paths(tmp_path):
    img_util.set_plugin_dir(str(tmp_path / "elsewhere"))
    assert img_util.basedir == str(tmp_path / "elsewhere")
    assert img_util.plugin_path == str(tmp_path / "elsewhere")
    assert img_util.IMAGES.backdir == str(tmp_path / "elsewhere" / "backups")
    assert img_util.IMAGES.tmpPath == str(tmp_path / "elsewhere" / "temp")
    assert img_util.IMAGES().tmpPath == img_util.IMAGES.tmpPath


# (operation, parameters after self/cls with their defaults, class-level)
OPERATIONS = [
    ("get_size", [("file", None)], True),
    ("backup", [("fpath", None), ("cfg", None)], False),
    ("check", [("fpath", None), ("cfg", None), ("checkTemp", 1), ("checkTime", 1)], True),
    ("compress", [("fpath", None), ("cfg", None), ("im", "None"), ("iscount", 1)], True),
    ("watermark_word", [("fpath", None), ("cfg", None), ("im", "None"), ("iscount", 1)], False),
    ("watermark_pic", [("fpath", None), ("cfg", None), ("im", "None"), ("iscount", 1)], False),
    ("gifsicle", [("fpath", None), ("cfg", None)], False),
    ("get_save_path", [("fpath", None), ("cfg", None)], True),
    ("save", [("fpath", None), ("cfg", None), ("im", None)], True),
    ("doing", [("fpath", None), ("cfg", None), ("use_check", 1), ("use_back", 1)], False),
    ("doing_gif", [("fpath", None), ("cfg", None), ("mode", "'jpg'")], False),
    ("enpath", [("path", None)], False),
    ("execute", [("cfg", None)], False),
    ("save_db", [("d", None)], False),
]


def signature_of(fn):
    """Parameter names and defaults from the signature line pybind11 puts in the docstring."""
    line = fn.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1:line.rindex(")")]
    params = []
    for part in inner.split(", "):
        name, _, rest = part.partition(": ")
        default = rest.split(" = ", 1)[1] if " = " in rest else None
        params.append((name, default))
    return params


@pytest.mark.parametrize("name,params,class_level", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_operation_names_and_parameters(name, params, class_level):
    fn = getattr(img_util.IMAGES, name)
    found = signature_of(fn)
    if not class_level:
        assert found[0][0] == "self"
        found = found[1:]
    assert [(n, str(d) if d is not None else None) for n, d in params] == found
    assert isinstance(inspect.getattr_static(img_util.IMAGES, name), staticmethod) == class_level


def test_class_level_operations_work_on_class_and_object(tmp_path):
    f = tmp_path / "x.bin"
    f.write_bytes(b"\0" * 1536)
    assert img_util.IMAGES.get_size(str(f)) == 1.5
    assert img_util.IMAGES().get_size(file=f) == 1.5
    cfg = {"folder": str(tmp_path), "outpath": str(tmp_path / "out")}
    expected = ("x.bin", str(tmp_path / "out" / "x.bin"))
    assert img_util.IMAGES.get_save_path(str(f), cfg) == expected
    assert img_util.IMAGES().get_save_path(fpath=str(f), cfg=cfg) == expected


def test_check_takes_keywords(tmp_path, plugin_dir):
    f = tmp_path / "a.jpg"
    picture(40, 30).save(f)
    cfg = make_cfg(tmp_path, 1, plugin_dir, utimemode=1, utime="2000-01-01 00:00:00")
    assert img_util.IMAGES.check(str(f), cfg) is None
    assert img_util.IMAGES.check(fpath=str(f), cfg=cfg, checkTemp=0, checkTime=0) is True


def test_enpath_keeps_the_callers_object(tmp_path):
    images = img_util.IMAGES()
    f = tmp_path / "a.jpg"
    f.write_bytes(b"x")
    text, raw = str(f), os.fsencode(str(f))
    assert images.enpath(text) is text
    assert images.enpath(raw) is raw
    assert images.enpath(str(tmp_path / "missing")) == ""
    assert images.enpath(b"/nonexistent/\xff") == ""
    assert images.enpath(text + "\0") == ""
    assert images.enpath(12345678) == ""


def test_image_operations_take_and_return_images(tmp_path, plugin_dir):
    f = tmp_path / "a.jpg"
    picture(320, 240).save(f, quality=95)
    cfg = make_cfg(tmp_path, 2, plugin_dir)
    images = img_util.IMAGES()

    im = images.compress(str(f), cfg)
    assert isinstance(im, img_util.Image)
    assert im.mode == "RGB" and im.size == (200, 150)
    assert isinstance(im.info, dict)
    assert cfg["result"]["compresscount"] == 1

    marked = images.watermark_word(str(f), cfg, im=im, iscount=0)
    assert isinstance(marked, img_util.Image) and marked.size == (200, 150)
    assert cfg["result"]["maskcount"] == 0

    pic = images.watermark_pic(str(f), cfg, marked)
    assert pic.size == (200, 150) and cfg["result"]["maskcount"] == 1

    img_util.IMAGES.save(str(f), cfg, pic)
    assert f.read_bytes().endswith(b"Bmask")
    assert img_util.Image.open(str(f)).size == (200, 150)


def test_operations_that_return_nothing_return_none(tmp_path, plugin_dir):
    f = tmp_path / "broken.jpg"
    f.write_bytes(b"not a jpeg")
    cfg = make_cfg(tmp_path, 1, plugin_dir, allmaxsize=0)
    images = img_util.IMAGES()
    assert images.compress(str(f), cfg) is None
    assert images.watermark_word(str(f), cfg) is None
    assert images.doing(str(f), cfg) is None
    assert images.backup(str(f), cfg) is None
    assert cfg["result"]["files"] == [str(f), str(f)]  # by doing, then by backup
    assert isinstance(cfg.pop("zfile"), img_util.BackupArchive)


# (what, call, exception type, errno)
ERRORS = [
    ("missing file", lambda d: img_util.IMAGES.get_size(str(d / "nope")), FileNotFoundError,
     errno.ENOENT),
    ("cfg not a dict", lambda d: img_util.IMAGES.check(str(d), None), TypeError, None),
    ("path of a wrong type", lambda d: img_util.IMAGES.get_size(3.5), TypeError, None),
    ("missing key", lambda d: img_util.IMAGES.check(str(d / "f.jpg"), {}), KeyError, None),
    ("im of a wrong type", lambda d: img_util.IMAGES.compress(str(d), {}, im="x"), TypeError, None),
    ("not an image", lambda d: img_util.Image.open(str(d / "f.jpg")), OSError, None),
]


@pytest.mark.parametrize("what,call,exc,err", ERRORS, ids=[e[0] for e in ERRORS])
def test_errors_arrive_as_python_exceptions(tmp_path, what, call, exc, err):
    (tmp_path / "f.jpg").write_bytes(b"text, not pixels")
    with pytest.raises(exc) as info:
        call(tmp_path)
    if err is not None:
        assert info.value.errno == err
        assert info.value.filename == str(tmp_path / "nope")
        assert info.value.strerror == os.strerror(err)
    if exc is KeyError:
        assert info.value.args == ("exts",)


def test_bytes_paths_come_back_as_bytes(tmp_path):
    cfg = {"folder": str(tmp_path), "outpath": ""}
    name, path = img_util.IMAGES.get_save_path(os.fsencode(str(tmp_path / "a.jpg")), cfg)
    assert (name, path) == (b"a.jpg", os.fsencode(str(tmp_path / "a.jpg")))


DEBUG_PROBE = """
import sys
sys.path.insert(0, {build!r})
import img_util
from PIL import Image
img_util.set_plugin_dir({plugin!r})
print(img_util._debug)
Image.new("RGB", (40, 30)).save({image!r})
cfg = {{"maskmode": 1, "exts": [".jpg"], "utimemode": 0, "utime": "", "yswidth": 20,
        "tmpPath": {plugin!r}, "result": {{"compresscount": 0, "files": []}}}}
img_util.IMAGES().doing({image!r}, cfg)
"""


@pytest.mark.parametrize("args,expected", [
    (["--debug"], True),
    (["x", "--debug", "y"], True),
    (["--debugging"], False),
    (["-debug"], False),
    ([], False),
])
def test_debug_comes_from_argv_at_import(tmp_path, plugin_dir, args, expected):
    script, image = tmp_path / "host.py", tmp_path / "a.jpg"
    build = BUILD_DIR or str(Path(img_util.__file__).parent)
    script.write_text(DEBUG_PROBE.format(build=build, plugin=str(plugin_dir), image=str(image)))
    out = subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True,
                         check=True)
    lines = out.stdout.splitlines()
    if expected:
        assert lines[:2] == ["True", "('%s', 'start', '.')" % image]
    else:
        assert lines == ["False"]


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L", "P", "CMYK"])
def test_pillow_images_are_taken_as_im(tmp_path, plugin_dir, mode):
    pil = picture(160, 120).convert(mode)
    if mode == "P":
        pil.info["transparency"] = 3
    ours = img_util.Image.from_pillow(pil)
    assert ours.size == pil.size
    if mode != "CMYK":
        assert ours.mode == mode and ours.tobytes() == pil.tobytes()
    if mode == "P":
        assert ours.info["transparency"] == 3

    cfg = make_cfg(tmp_path, 2, plugin_dir)
    marked = img_util.IMAGES().watermark_word(str(tmp_path / "unused.jpg"), cfg, im=pil)
    assert marked.size == (160, 120) and cfg["result"]["maskcount"] == 1
    # Compression switched off hands back the very image it was given.
    cfg["iscompress"] = False
    assert img_util.IMAGES.compress(str(tmp_path / "unused.jpg"), cfg, pil) is pil


def test_image_from_raw_pixels():
    im = img_util.Image.frombytes("LA", (3, 2), bytes(range(12)))
    assert (im.mode, im.size, im.tobytes()) == ("LA", (3, 2), bytes(range(12)))
    with pytest.raises(ValueError, match="holds 11 bytes"):
        img_util.Image.frombytes("LA", (3, 2), bytes(11))
    with pytest.raises(ValueError):
        img_util.Image.frombytes("CMYK", (3, 2), bytes(24))

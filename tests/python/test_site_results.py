"""What a Python host sees where the literal result would lose a site owner's data: written
files carry no EXIF (GPS positions, serial numbers, thumbnails), but keep their ICC profile."""

import io
import os
from pathlib import Path

import pytest
from PIL import Image, ImageCms

import img_util
from conftest import make_cfg, make_tree, picture


def photo_with_private_exif(path):
    exif = Image.Exif()
    exif[0x010F] = "Camera maker"
    exif[0xA431] = "SERIAL-0123456789"  # body serial number
    exif[0x9286] = b"ASCII\0\0\0" + bytes(range(256)) * 24  # a thumbnail-sized user comment
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    picture(480, 360, 4).save(path, quality=95, exif=exif, icc_profile=icc)
    return icc


@pytest.mark.parametrize("mode,ctrsize", [(1, 0), (1, 8), (2, 0)])
def test_written_files_carry_no_exif_but_keep_the_icc(tmp_path, plugin_dir, mode, ctrsize):
    site = tmp_path / "site"
    site.mkdir()
    path = site / "a.jpg"
    icc = photo_with_private_exif(path)
    with Image.open(path) as src:
        assert len(src.info["exif"]) > 6000
    cfg = make_cfg(site, mode, plugin_dir, ctrsize=ctrsize, exts=[".jpg"])

    img_util.IMAGES().execute(cfg)

    assert cfg["result"]["compresscount"] == 1
    data = path.read_bytes()
    assert b"SERIAL-0123456789" not in data
    with Image.open(io.BytesIO(data)) as im:
        assert "exif" not in im.info
        assert im.info.get("icc_profile") == icc
        assert im.width == 200
    if ctrsize:
        assert (len(data) - 5) / 1024 <= ctrsize


def transparent_logo(path):
    """A logo on a transparent background whose hidden pixels are black."""
    im = Image.new("RGBA", (120, 80), (0, 0, 0, 0))
    from PIL import ImageDraw
    draw = ImageDraw.Draw(im)
    draw.ellipse((10, 10, 70, 70), fill=(230, 40, 40, 255))
    draw.rectangle((60, 20, 110, 60), fill=(40, 90, 220, 160))
    im.save(path)
    return im


def colour_key_png(path):
    """An RGB PNG whose green is transparent through a tRNS colour key."""
    im = Image.new("RGB", (64, 48), (200, 50, 50))
    im.paste((10, 200, 30), (0, 0, 32, 48))
    im.save(path, transparency=(10, 200, 30))


@pytest.mark.parametrize("isopaque", [False, True])
def test_optimized_png_keeps_its_transparency(tmp_path, plugin_dir, isopaque):
    site = tmp_path / "site"
    site.mkdir()
    logo = transparent_logo(site / "logo.png")
    colour_key_png(site / "key.png")
    cfg = make_cfg(site, 1, plugin_dir, optimize=1, isopaque=isopaque, exts=[".png"],
                   yswidth=0, quality=80)

    img_util.IMAGES().execute(cfg)

    with Image.open(site / "logo.png") as out, Image.open(site / "key.png") as key:
        assert out.mode == key.mode == "P"
        if isopaque:  # asked for: the opaque result as before
            assert "transparency" not in out.info
            return
        # The logo as Pillow's quantize (its fast octree for RGBA) makes it, alpha and all.
        want = logo.quantize(256).convert("RGBA")
        assert list(out.convert("RGBA").getdata()) == list(want.getdata())
        # The colour key as the literal reduction keeps it in Pillow: a transparent index.
        with Image.open(tmp_path / "site" / "key.png") as k:
            rgba = k.convert("RGBA")
        assert rgba.getpixel((0, 0))[3] == 0 and rgba.getpixel((40, 0)) == (200, 50, 50, 255)


def test_animated_gif_keeps_frame_times_and_plays_once(tmp_path, plugin_dir):
    site = tmp_path / "site"
    site.mkdir()
    frames = [picture(120, 90, k).convert("P") for k in range(3)]
    frames[0].save(site / "anim.gif", save_all=True, append_images=frames[1:],
                   duration=[70, 250, 1200])  # no loop: plays once
    with Image.open(site / "anim.gif") as src:
        assert "loop" not in src.info
    cfg = make_cfg(site, 2, plugin_dir, exts=[".gif"])

    img_util.IMAGES().execute(cfg)

    with Image.open(site / "anim.gif") as out:
        assert out.n_frames == 3 and "loop" not in out.info
        times = []
        for k in range(3):
            out.seek(k)
            times.append(out.info["duration"])
    assert times == [70, 250, 1200]


def test_tiff_is_read_and_a_damaged_image_names_its_cause(tmp_path, plugin_dir):
    site = tmp_path / "site"
    site.mkdir()
    picture(320, 240, 5).save(site / "a.tif", compression="tiff_lzw")
    cfg = make_cfg(site, 1, plugin_dir, exts=[".tif", ".png"], jumperr=False)
    img_util.IMAGES().execute(cfg)
    assert cfg["result"]["compresscount"] == 1
    assert (site / "a.tif").read_bytes().endswith(b"Amask")
    with Image.open(site / "a.tif") as out:
        assert (out.format, out.size) == ("TIFF", (200, 150))

    (site / "b.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"not really a PNG")
    cfg = make_cfg(site, 2, plugin_dir, exts=[".png"], jumperr=False)
    with pytest.raises(OSError) as caught:
        img_util.IMAGES().execute(cfg)
    assert str(site / "b.png") in str(caught.value)
    assert (site / "b.png").read_bytes().endswith(b"not really a PNG")


def test_keep_mtime(tmp_path, plugin_dir):
    site = tmp_path / "site"
    site.mkdir()
    picture(320, 240, 6).save(site / "a.jpg", quality=95)
    os.utime(site / "a.jpg", (1_600_000_000, 1_600_000_000))
    img_util.set_keep_mtime(True)
    try:
        img_util.IMAGES().execute(make_cfg(site, 1, plugin_dir, exts=[".jpg"]))
    finally:
        img_util.set_keep_mtime(False)
    assert (site / "a.jpg").read_bytes().endswith(b"Amask")
    assert os.stat(site / "a.jpg").st_mtime == 1_600_000_000


@pytest.mark.parametrize("mode", [1, 2, 3])
def test_jobs_change_nothing_but_the_speed(tmp_path, plugin_dir, capsys, mode):
    """set_jobs: the module's lines on sys.stdout, the counters, the file list and every
    written byte are those of a run of one file at a time."""
    runs = []
    for jobs in (1, 2):
        site = tmp_path / ("site%d" % jobs)
        make_tree(site)
        for i in range(4):
            picture(260 + 10 * i, 200, 10 + i).save(site / ("p%d.jpg" % i), quality=90)
        (site / "bad.jpg").write_bytes(b"\xff\xd8\xff\xe0 not a jpeg")
        img_util.set_jobs(jobs)
        img_util._debug = True
        cfg = make_cfg(site, mode, plugin_dir, isbackup=False, tmpPath=str(tmp_path / "scratch"))
        try:
            img_util.IMAGES().execute(cfg)
        finally:
            img_util.set_jobs(0)
        lines = capsys.readouterr().out.replace(str(site), "SITE")
        written = {p.relative_to(site): p.read_bytes() for p in sorted(site.rglob("*"))
                   if p.is_file()}
        files = [f.replace(str(site), "SITE") for f in cfg["result"]["files"]]
        runs.append((lines, cfg["result"]["compresscount"], cfg["result"]["maskcount"], files,
                     written))
    assert "error" in runs[0][0]
    assert runs[0] == runs[1]
    with pytest.raises(ValueError):
        img_util.set_jobs(-1)

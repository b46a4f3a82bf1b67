"""What a Python host sees where the literal result would lose a site owner's data: written
files carry no EXIF (GPS positions, serial numbers, thumbnails), but keep their ICC profile."""

import io
from pathlib import Path

import pytest
from PIL import Image, ImageCms

import img_util
from conftest import make_cfg, picture


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

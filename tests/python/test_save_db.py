"""The run log as the host writes it after a run."""

import json
import sqlite3

import pytest

import img_util
from conftest import CJK_FONT, make_cfg, make_tree


def rows(plugin_dir):
    with sqlite3.connect(plugin_dir / "quorvane.sqlite3") as db:
        return db.execute(
            "select ctime, folder, flags, maskcount, compresscount, second, records "
            "from image_logs").fetchall()


def test_chinese_watermark_run_is_logged_as_json_dumps_writes_it(tmp_path, plugin_dir):
    site = tmp_path / "site"
    images = make_tree(site)
    cfg = make_cfg(site, 2, plugin_dir, masktext="水印测试", fontttf=CJK_FONT,
                   ratio=0.75, note=None, flags_seen=[True, False])
    cfg["result"]["ctime"] = 1700000000.9
    images_obj = img_util.IMAGES()
    images_obj.execute(cfg)
    images_obj.save_db(cfg)

    [(ctime, folder, flags, maskcount, compresscount, second, records)] = rows(plugin_dir)
    assert (ctime, folder, flags) == (1700000000, str(site), 2)
    assert (maskcount, compresscount) == (len(images), len(images))
    assert second > 0
    assert records == json.dumps(cfg)
    assert "\\u6c34\\u5370\\u6d4b\\u8bd5" in records and "水" not in records


def test_nothing_counted_leaves_no_row(tmp_path, plugin_dir):
    cfg = make_cfg(tmp_path, 1, plugin_dir)
    img_util.IMAGES().save_db(cfg)
    assert rows(plugin_dir) == []


@pytest.mark.parametrize("value", [{1, 2}, object(), b"raw", img_util.IMAGES()],
                         ids=["set", "object", "bytes", "IMAGES"])
def test_values_json_cannot_write_fail_as_json_dumps_fails(tmp_path, plugin_dir, value):
    cfg = make_cfg(tmp_path, 1, plugin_dir)
    cfg["result"]["maskcount"] = 1
    cfg["extra"] = value
    with pytest.raises(TypeError) as expected:
        json.dumps(cfg)
    with pytest.raises(TypeError) as got:
        img_util.IMAGES().save_db(cfg)
    assert str(got.value) == str(expected.value)
    assert rows(plugin_dir) == []


def test_keys_json_writes_as_text(tmp_path, plugin_dir):
    cfg = make_cfg(tmp_path, 1, plugin_dir)
    cfg["result"]["compresscount"] = 2
    cfg["extra"] = {1: "one", 2.5: "two and a half", False: "no", None: "none",
                    "nested": ("a", ["b", {"c": float("inf")}])}
    img_util.IMAGES().save_db(cfg)
    [row] = rows(plugin_dir)
    assert row[-1] == json.dumps(cfg)


def test_missing_required_key(tmp_path, plugin_dir):
    cfg = make_cfg(tmp_path, 1, plugin_dir)
    del cfg["maskmode"]
    with pytest.raises(KeyError) as info:
        img_util.IMAGES().save_db(cfg)
    assert info.value.args == ("maskmode",)

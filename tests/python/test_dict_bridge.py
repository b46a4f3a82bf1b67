"""The host's dict after an operation is what a pure Python module would have left: changed in
place, same objects, same key order, nothing lost."""

import collections
import os
import zipfile

import pytest

import img_util


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "a.jpg"
    path.write_bytes(b"original bytes")
    return str(path)


def new_result():
    return {"ctime": 1, "compresscount": 0, "maskcount": 0, "files": []}


def test_backup_changes_the_hosts_objects_in_place(source):
    result = new_result()
    files = result["files"]
    host_object = object()
    cfg = {"isbackup": True, "allmaxsize": 0, "result": result, 3: "int key",
           "host": host_object, "same_list": files}
    images = img_util.IMAGES()

    images.backup(source, cfg)
    archive = cfg["zfile"]
    images.backup(fpath=source, cfg=cfg)

    assert list(cfg) == ["isbackup", "allmaxsize", "result", 3, "host", "same_list", "zfile"]
    assert cfg["result"] is result and result["files"] is files and cfg["same_list"] is files
    assert files == [source, source]
    assert cfg["host"] is host_object and cfg[3] == "int key"
    assert cfg["allmaxsize"] == 2 * len(b"original bytes")
    assert cfg["zfile"] is archive
    archive.close()
    archive.close()  # a second close does nothing


def test_key_removed_and_added_again_moves_to_the_end(source, plugin_dir):
    cfg = collections.OrderedDict(isbackup=True, allmaxsize=0, result=new_result())
    images = img_util.IMAGES()
    images.backup(source, cfg)
    first = cfg["zfile"]
    cfg["after"] = "a key the host added later"
    cfg["allmaxsize"] = img_util.IMAGES.allmaxsize + 1  # past the cap: a new archive begins

    images.backup(source, cfg)

    assert list(cfg) == ["isbackup", "allmaxsize", "result", "after", "zfile"]
    assert cfg["zfile"] is not first and cfg["allmaxsize"] == len(b"original bytes")
    cfg.pop("zfile").close()
    for path in (plugin_dir / "backups").iterdir():
        with zipfile.ZipFile(path) as z:
            assert z.testzip() is None


def test_a_tuple_where_the_operation_appends_is_reported(source):
    cfg = {"result": {"files": ()}}
    with pytest.raises(TypeError, match="'tuple' object in cfg cannot be changed"):
        img_util.IMAGES().backup(source, cfg)
    assert cfg["result"]["files"] == ()


def test_a_dict_that_holds_itself(source):
    cfg = {"result": new_result()}
    cfg["self"] = cfg
    img_util.IMAGES().backup(source, cfg)
    assert cfg["self"] is cfg and cfg["result"]["files"] == [source]


def test_paths_that_are_not_utf8(tmp_path):
    raw = bytes(tmp_path) + b"/caf\xe9.jpg"
    with open(raw, "wb") as f:
        f.write(b"latin-1 name")
    cfg = {"result": new_result()}
    img_util.IMAGES().backup(raw, cfg)
    [listed] = cfg["result"]["files"]
    assert os.fsencode(listed) == raw

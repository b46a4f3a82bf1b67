"""Runs as a host makes them: execute on a fixture tree, and the host's dict afterwards."""

import errno
import faulthandler
import fcntl
import io
import os
import signal
import sys
import threading
import zipfile
from pathlib import Path

import pytest
from PIL import Image

import img_util
from conftest import make_cfg, make_tree

MARKERS = {1: b"Amask", 2: b"Bmask", 3: b"Bmask"}


@pytest.mark.parametrize("mode", [1, 2, 3])
def test_run_in_each_mode(tmp_path, plugin_dir, mode):
    site = tmp_path / "site"
    images = make_tree(site)
    txt_before = (site / "notes.txt").read_bytes()
    cfg = make_cfg(site, mode, plugin_dir)
    result = cfg["result"]
    files = result["files"]
    keys_before = list(cfg)
    before = {p: Path(p).read_bytes() for p in images}
    values_before = {k: cfg[k] for k in keys_before}

    assert img_util.IMAGES().execute(cfg) is None

    # The host's own objects, changed in place: same dicts and list, same keys in the same
    # order, the one key the run adds at the end, no archive left behind.
    assert cfg["result"] is result and result["files"] is files
    assert list(cfg) == keys_before + ["allmaxsize"]
    assert all(cfg[k] is values_before[k] for k in keys_before)
    assert "zfile" not in cfg
    assert sorted(files) == images
    assert cfg["allmaxsize"] == sum(len(before[p]) for p in images)
    assert result["compresscount"] == len(images)
    assert result["maskcount"] == (0 if mode == 1 else len(images))

    for path in images:
        data = Path(path).read_bytes()
        assert data.endswith(MARKERS[mode])
        with Image.open(io.BytesIO(data)) as im:
            assert im.width == 200
    assert (site / "notes.txt").read_bytes() == txt_before

    archives = list((plugin_dir / "backups").iterdir())
    assert len(archives) == 1
    with zipfile.ZipFile(archives[0]) as z:
        assert z.testzip() is None
        assert sorted(z.namelist()) == sorted(p.lstrip("/") for p in images)
        assert all(z.read(p.lstrip("/")) == before[p] for p in images)


def test_running_total_of_backed_up_bytes(tmp_path, plugin_dir):
    site = tmp_path / "site"
    images = make_tree(site)
    sizes = sum(os.path.getsize(p) for p in images)
    cfg = make_cfg(site, 1, plugin_dir, allmaxsize=5)
    img_util.IMAGES().execute(cfg)
    assert cfg["allmaxsize"] == 5 + sizes


def test_values_the_module_does_not_know_pass_through(tmp_path, plugin_dir):
    site = tmp_path / "site"
    make_tree(site)
    marker = object()
    exts = (".jpg",)
    cfg = make_cfg(site, 1, plugin_dir, exts=exts, isbackup=False)
    cfg["host"] = marker
    cfg[7] = "a key that is not text"
    img_util.IMAGES().execute(cfg)
    assert cfg["host"] is marker and cfg["exts"] is exts and cfg[7] == "a key that is not text"
    assert cfg["result"]["compresscount"] == 2  # a.jpg and sub/b.jpg


def test_failing_file_without_jumperr(tmp_path, plugin_dir, capsys):
    site = tmp_path / "site"
    (site).mkdir()
    Image.new("RGB", (300, 200), (90, 140, 200)).save(site / "only.jpg", quality=95)
    original = (site / "only.jpg").read_bytes()
    missing_font = str(tmp_path / "no-such-font.ttf")
    cfg = make_cfg(site, 2, plugin_dir, jumperr=False, fontttf=missing_font)

    with pytest.raises(OSError):
        img_util.IMAGES().execute(cfg)

    assert capsys.readouterr().out == "('%s', 'error')\n" % (site / "only.jpg")
    assert (site / "only.jpg").read_bytes() == original
    assert cfg["result"]["files"] == [str(site / "only.jpg")]
    archive = cfg["zfile"]
    assert isinstance(archive, img_util.BackupArchive)
    archive.close()
    [path] = (plugin_dir / "backups").iterdir()
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
        assert z.read(str(site / "only.jpg").lstrip("/")) == original


def test_error_lines_go_to_the_hosts_stdout(tmp_path, plugin_dir):
    site = tmp_path / "site"
    site.mkdir()
    for name in ("x.jpg", "y.jpg"):
        Image.new("RGB", (300, 200)).save(site / name)
    cfg = make_cfg(site, 2, plugin_dir, fontttf=str(tmp_path / "missing.ttf"), isbackup=False)
    out = io.StringIO()
    saved, sys.stdout = sys.stdout, out
    try:
        img_util.IMAGES().execute(cfg)
    finally:
        sys.stdout = saved
    assert sorted(out.getvalue().splitlines()) == [
        "('%s', 'error')" % (site / "x.jpg"), "('%s', 'error')" % (site / "y.jpg")]


def test_missing_folder_is_a_key_error(plugin_dir):
    cfg = {"maskmode": 1, "result": {"ctime": 0, "compresscount": 0, "maskcount": 0, "files": []}}
    with pytest.raises(KeyError) as info:
        img_util.IMAGES().execute(cfg)
    assert info.value.args == ("folder",)
    assert cfg["allmaxsize"] == 0


class InterruptingStdout(io.StringIO):
    """Sends the process a SIGINT when the first progress line is written, as a user pressing
    Ctrl-C while the first file is being processed."""

    sent = False

    def write(self, text):
        written = super().write(text)
        if not self.sent:
            self.sent = True
            signal.raise_signal(signal.SIGINT)
        return written


def test_ctrl_c_stops_between_files(tmp_path, plugin_dir):
    site = tmp_path / "site"
    images = make_tree(site)
    before = {p: Path(p).read_bytes() for p in images}
    cfg = make_cfg(site, 1, plugin_dir)
    img_util._debug = True
    out = InterruptingStdout()
    saved, sys.stdout = sys.stdout, out
    try:
        with pytest.raises(KeyboardInterrupt):
            img_util.IMAGES().execute(cfg)
    finally:
        sys.stdout = saved

    # The file under way was finished, none after it was started.
    [started] = cfg["result"]["files"]
    assert out.getvalue().startswith("('%s', 'start', '.')" % started)
    for path in images:
        data = Path(path).read_bytes()
        assert data.endswith(b"Amask") if path == started else data == before[path]
    # The archive is complete even though the key stays for the host.
    assert isinstance(cfg["zfile"], img_util.BackupArchive)
    [path] = (plugin_dir / "backups").iterdir()
    with zipfile.ZipFile(path) as z:
        assert z.namelist() == [started.lstrip("/")]
    cfg["zfile"].close()


def test_other_threads_run_while_an_operation_works(tmp_path, plugin_dir):
    # The source is a pipe: compress blocks opening it until another Python thread opens the
    # other end, which that thread can only do when the GIL was let go.
    fifo = tmp_path / "pipe.jpg"
    os.mkfifo(fifo)
    data = io.BytesIO()
    Image.new("RGB", (300, 200), (10, 200, 30)).save(data, "JPEG")

    def feed():
        with open(fifo, "wb") as f:
            f.write(data.getvalue())

    feeder = threading.Thread(target=feed)
    feeder.start()
    faulthandler.dump_traceback_later(60, exit=True)  # a held GIL would hang here for good
    try:
        cfg = make_cfg(tmp_path, 1, plugin_dir)
        im = img_util.IMAGES.compress(str(fifo), cfg)
    finally:
        faulthandler.cancel_dump_traceback_later()
    feeder.join()
    assert im.size == (200, 133) and cfg["result"]["compresscount"] == 1


def test_a_second_run_on_the_same_plugin_dir_fails_at_once(tmp_path, plugin_dir):
    site = tmp_path / "site"
    images = make_tree(site)
    before = {p: Path(p).read_bytes() for p in images}
    cfg = make_cfg(site, 1, plugin_dir)
    keys = list(cfg)
    lock = plugin_dir / ".img_util.lock"
    with open(lock, "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # as a run in another process would hold it
        with pytest.raises(OSError) as info:
            img_util.IMAGES().execute(cfg)
    assert info.value.errno == errno.EBUSY
    assert info.value.strerror == "another run is using %s" % plugin_dir
    assert info.value.filename == str(lock)
    assert list(cfg) == keys and cfg["result"]["files"] == []
    assert all(Path(p).read_bytes() == before[p] for p in images)

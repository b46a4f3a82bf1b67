"""The command-line tool's exit status tells a cron job how the run went: 0 every file fine,
1 stopped on an error, 2 a configuration it refused (nothing touched), 3 finished with some
files failed, 130 interrupted by Ctrl-C between two files."""

import json
import signal
import subprocess
import zipfile

import pytest

from conftest import cli_path, make_cfg, picture


def site_with(tmp_path, photos, broken=False):
    site = tmp_path / "site"
    site.mkdir()
    for i in range(photos):
        picture(120, 90, i).save(site / ("p%03d.jpg" % i), quality=90)
    if broken:
        (site / "bad.jpg").write_bytes(b"\xff\xd8\xff\xe0 not a jpeg")
    return site


def run(tmp_path, plugin_dir, cfg, *extra):
    path = tmp_path / "cfg.json"
    path.write_text(json.dumps(cfg))
    return subprocess.run([str(cli_path()), "run", str(path), "--plugin-dir", str(plugin_dir),
                           *extra], capture_output=True, text=True)


@pytest.mark.skipif(cli_path() is None, reason="the command-line tool is not built")
@pytest.mark.parametrize("case, status", [
    ("clean", 0),
    ("stops at a failed file", 1),
    ("refused configuration", 2),
    ("some files failed", 3),
])
def test_exit_status(tmp_path, plugin_dir, case, status):
    site = site_with(tmp_path, 3, broken=case != "clean" and case != "refused configuration")
    cfg = make_cfg(site, 1, plugin_dir, isbackup=False, jumperr=case == "some files failed")
    if case == "refused configuration":
        cfg["quality"] = 150
    before = sorted(p.name for p in site.iterdir())
    result = run(tmp_path, plugin_dir, cfg)
    assert result.returncode == status, result.stderr
    if status == 2:
        assert "quality" in result.stderr
        assert sorted(p.name for p in site.iterdir()) == before
        assert not (plugin_dir / "scratch").exists()


@pytest.mark.skipif(cli_path() is None, reason="the command-line tool is not built")
def test_ctrl_c_stops_between_two_files_with_130(tmp_path, plugin_dir):
    site = site_with(tmp_path, 80)
    cfg = make_cfg(site, 1, plugin_dir, isbackup=True, yswidth=60)
    path = tmp_path / "cfg.json"
    path.write_text(json.dumps(cfg))
    proc = subprocess.Popen([str(cli_path()), "run", str(path), "--plugin-dir", str(plugin_dir),
                             "--debug", "--jobs", "1"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    proc.stdout.readline()  # the first file has started
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert "interrupted" in err
    # Stopped between two files: some were written, not all, and the archive is complete.
    marked = [p for p in site.iterdir() if p.read_bytes().endswith(b"Amask")]
    assert 0 < len(marked) < 80
    archives = list((plugin_dir / "backups").glob("*.zip"))
    assert len(archives) == 1
    with zipfile.ZipFile(archives[0]) as z:
        assert z.testzip() is None
        assert len(z.namelist()) >= len(marked)

"""The module and the command-line tool are two faces of one run: the same configuration gives
the same files, the same lines and the same log row."""

import json
import shutil
import sqlite3
import subprocess
import zipfile
from pathlib import Path

import pytest

import img_util
from conftest import cli_path, make_cfg, make_tree, picture


def outputs(site):
    return {str(p.relative_to(site)): p.read_bytes() for p in sorted(Path(site).rglob("*"))
            if p.is_file()}


def archive_contents(plugin_dir):
    found = []
    for path in sorted((plugin_dir / "backups").iterdir()):
        with zipfile.ZipFile(path) as z:
            found.append({name: z.read(name) for name in z.namelist()})
    return found


@pytest.mark.skipif(cli_path() is None, reason="the command-line tool is not built")
@pytest.mark.parametrize("mode", [1, 2])
def test_module_and_cli_give_the_same_run(tmp_path, plugin_dir, capsys, mode):
    pristine, site = tmp_path / "pristine", tmp_path / "site"
    make_tree(pristine)
    frames = [picture(120, 90, seed) for seed in range(3)]
    frames[0].save(pristine / "sub" / "anim.gif", save_all=True, append_images=frames[1:],
                   duration=80, loop=0)
    shutil.copytree(pristine, site)
    cfg = make_cfg(site, mode, plugin_dir, exts=[".jpg", ".png", ".gif"])
    cfg["result"]["ctime"] = 1700000000
    config = tmp_path / "config.json"
    config.write_text(json.dumps(cfg))

    img_util._debug = True
    images = img_util.IMAGES()
    images.execute(cfg)
    images.save_db(cfg)
    module_lines = capsys.readouterr().out
    assert str(site / "sub" / "anim.gif") in cfg["result"]["files"]
    module_files = outputs(site)

    shutil.rmtree(site)
    shutil.copytree(pristine, site)
    run = subprocess.run([str(cli_path()), "run", str(config), "--plugin-dir", str(plugin_dir),
                          "--debug"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == module_lines
    assert outputs(site) == module_files

    first, second = archive_contents(plugin_dir)
    assert first == second

    with sqlite3.connect(plugin_dir / "quorvane.sqlite3") as db:
        logged = db.execute("select ctime, folder, flags, maskcount, compresscount, records "
                            "from image_logs order by rowid").fetchall()
    assert len(logged) == 2 and logged[0] == logged[1]
    assert logged[0][-1] == json.dumps(cfg)

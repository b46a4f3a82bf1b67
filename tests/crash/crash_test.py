#!/usr/bin/python3
"""Kills img_util runs and fills their disk, and checks that no original is lost.

A tree of real photos is processed in place with backups. Each round restores the tree, starts
a run and kills it with SIGKILL, either right after its N-th rename (strace holds the run in the
exit of that rename, where it is killed; N = 1 in the first round) or after a random delay. Then:

- every source is byte-identical to its original, or a complete image ending in the processed
  marker whose original is complete in the archive exactly as the killed run left it;
- the next run finishes (exit 0), repairs the archive, and afterwards every archive reads in
  unzip and in Python's zipfile, every replaced source's original is in one of them, and no
  temporary file is left.

The disk-full part runs the tool on a small tmpfs that is nearly full: in place, with an output
folder on it, and with the backup folder on it. No source may be damaged, standard error must
name the file and the cause, and the exit status must say that the run failed. Where no tmpfs
can be mounted, strace makes every write from some point on fail with ENOSPC instead (the
messages cannot be checked then: writing them fails too).

Usage: crash_test.py --cli build/release/img_util [--kills N] [--seed S] [--corpus DIR]

Photos: from the corpus script (MAKE_CORPUS, or ../shared/corpus/make-corpus beside the
repository), else from Debian's lomiri-wallpapers-16.04 package (downloaded and unpacked, not
installed), else photo-like pictures made with Pillow.
"""
import argparse
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

from PIL import Image, ImageFile

ImageFile.LOAD_TRUNCATED_IMAGES = False
MARK = b"Amask"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Files of the shared corpus: a dozen photos and pictures of a few MP at most.
CORPUS_PICKS = [
    "jpeg-small/picture-1a_1365x1074.jpg", "jpeg-small/hubble-deep-field_1000x872.jpg",
    "jpeg-small/branches_600x400.jpg", "jpeg-small/cat-gray_512x512.jpg",
    "jpeg-web/raindrops_1920x1200.jpg", "jpeg-web/dune_1680x1050.jpg",
    "jpeg-web/greenmeadow_1280x1024.jpg", "orientation/orientation_6.jpg",
    "png/chelsea_451x300.png", "png/debian-logo_788x256_palette.png",
    "png/skimage-logo_500x500_rgba.png",
]


def fail(msg):
    print("crash_test: FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def gather_photos(dest, corpus):
    """Real photos into dest; returns how they were found."""
    make_corpus = os.environ.get("MAKE_CORPUS") or os.path.join(
        os.path.dirname(REPO), "shared", "corpus", "make-corpus")
    if not corpus and os.path.exists(make_corpus):
        corpus = os.path.join(REPO, "build", "crash-corpus")
        subprocess.run(["bash", make_corpus, corpus], check=True, stdout=subprocess.DEVNULL)
    if corpus:
        for rel in CORPUS_PICKS:
            shutil.copy(os.path.join(corpus, rel), dest)
        return "corpus " + corpus
    # As make-corpus does: the package is downloaded and unpacked, not installed.
    cache = os.path.join(REPO, "build", "crash-photos")
    os.makedirs(cache, exist_ok=True)
    try:
        if not any(f.endswith(".deb") for f in os.listdir(cache)):
            subprocess.run(["apt-get", "download", "-qq", "lomiri-wallpapers-16.04"], cwd=cache,
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deb = [f for f in os.listdir(cache) if f.endswith(".deb")][0]
        subprocess.run(["dpkg-deb", "-x", os.path.join(cache, deb), os.path.join(cache, "root")],
                       check=True)
        bg = os.path.join(cache, "root", "usr", "share", "backgrounds")
        photos = sorted((os.path.getsize(os.path.join(bg, f)), f) for f in os.listdir(bg)
                        if f.lower().endswith(".jpg"))[:8]
        for _, f in photos:
            shutil.copy(os.path.join(bg, f), dest)
        return "lomiri-wallpapers-16.04"
    except (subprocess.CalledProcessError, IndexError, OSError):
        pass
    # Last resort: photo-like pictures (smooth light, texture, noise).
    rng = random.Random(5)
    for i in range(10):
        w, h = 400 + 80 * i, 300 + 60 * i
        im = Image.radial_gradient("L").resize((w, h)).convert("RGB")
        noise = Image.effect_noise((w, h), 40 + 5 * i).convert("RGB")
        im = Image.blend(im, noise, 0.3 + rng.random() * 0.3)
        ext = ".png" if i % 4 == 3 else ".jpg"
        im.save(os.path.join(dest, "made%02d%s" % (i, ext)), quality=92)
    return "pictures made with Pillow"


def tree_files(root):
    out = {}
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            out[p] = open(p, "rb").read()
    return out


def marked(root):
    """How many files below root (temporary files aside) end in the marker."""
    count = 0
    for d, _, files in os.walk(root):
        for f in files:
            if ".tmp-" in f:
                continue
            with open(os.path.join(d, f), "rb") as fh:
                fh.seek(0, 2)
                if fh.tell() >= 5:
                    fh.seek(-5, 2)
                    count += fh.read() == MARK
    return count


def dead(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError):
        return True


def raw_entries(path):
    """Entries whole in the archive's bytes as they are, read by their local headers alone."""
    data = open(path, "rb").read()
    pos, out = 0, {}
    while data[pos:pos + 4] == b"PK\x03\x04":
        flags, method = struct.unpack_from("<HH", data, pos + 6)
        nlen, xlen = struct.unpack_from("<HH", data, pos + 26)
        name = data[pos + 30:pos + 30 + nlen].decode("utf-8", "surrogateescape")
        start = pos + 30 + nlen + xlen
        if method != 8:
            break
        d = zlib.decompressobj(-15)
        body = d.decompress(data[start:])
        if not d.eof:
            break
        end = len(data) - len(d.unused_data)
        if flags & 8:
            if data[end:end + 4] == b"PK\x07\x08":
                end += 4
            if len(data) < end + 12 or struct.unpack_from("<I", data, end)[0] != zlib.crc32(body):
                break
            end += 12  # CRC and two 4-byte sizes: entries here are far below 4 GiB
        out.setdefault(name, []).append(body)
        pos = end
    return out


def archives(plugin):
    d = os.path.join(plugin, "backups")
    return [os.path.join(d, f) for f in sorted(os.listdir(d))] if os.path.isdir(d) else []


def complete_marked_image(data, path):
    if not data.endswith(MARK):
        return False
    try:
        with Image.open(path) as im:
            im.load()
        return True
    except Exception:
        return False


def check_sources(originals, backed_up, where):
    """Each source is its original, or a complete marked image whose original is backed up."""
    lost = []
    for p, orig in originals.items():
        now = open(p, "rb").read() if os.path.exists(p) else None
        if now == orig:
            continue
        if now is None or not complete_marked_image(now, p):
            lost.append(p + " is neither its original nor a complete marked image")
        elif orig not in backed_up.get(p.lstrip("/"), []):
            lost.append(p + " was replaced but its original is not in the archive")
    if lost:
        fail(where + ":\n  " + "\n  ".join(lost))


def run(cli, cfg, plugin, *, prefix=(), timeout=60):
    return subprocess.run(list(prefix) + [cli, "run", cfg, "--plugin-dir", plugin, "--no-log"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)


def write_config(path, folder, **extra):
    cfg = {"folder": folder, "subfold": True, "maskmode": 1, "exts": [".jpg", ".png"],
           "utimemode": 0, "utime": "", "isbackup": True, "isaprotect": True,
           "yswidth": 1024, "ysheight": 1024, "quality": 70, "jumperr": False}
    cfg.update(extra)
    with open(path, "w") as f:
        json.dump(cfg, f)


def kill_rounds(args, work, originals_dir):
    site, plugin, cfg = (os.path.join(work, n) for n in ("site", "plugin", "cfg.json"))
    write_config(cfg, site)

    def fresh():
        shutil.rmtree(site, ignore_errors=True)
        shutil.rmtree(plugin, ignore_errors=True)
        shutil.copytree(originals_dir, site)
        os.makedirs(plugin)
        return tree_files(site)

    # A whole run: how long it takes and how many renames it makes.
    fresh()
    t0 = time.monotonic()
    r = run(args.cli, cfg, plugin)
    full = time.monotonic() - t0
    if r.returncode != 0:
        fail("an uninterrupted run failed: " + r.stderr.decode(errors="replace"))
    renames = marked(site)
    # Where ptrace is not allowed (some containers) only the random kills can run.
    held = subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"],
                          stderr=subprocess.DEVNULL).returncode == 0
    if not held:
        print("crash_test: strace cannot trace here; random kills only", file=sys.stderr)
    rng = random.Random(args.seed)
    kills = after_rename = i = 0
    # A run may finish before its random moment comes; rounds go on until that many kills.
    while kills < args.kills:
        if i >= 3 * args.kills + 10:
            fail("only %d kills in %d rounds" % (kills, i))
        i += 1
        originals = fresh()
        if i % 2 == 1 and renames > 0 and held:
            # strace holds the run in the exit of its n-th rename (n = 1 first): the source has
            # just been replaced and nothing after it has run. It is killed there.
            n = 1 if i == 1 else rng.randint(1, renames)
            how = "right after rename %d" % n
            hold = ["strace", "-f", "-qq", "-o", "/dev/null",
                    "-e", "trace=rename,renameat,renameat2",
                    "-e", "inject=rename,renameat,renameat2:delay_exit=10000000:when=%d" % n]
            p = subprocess.Popen(hold + [args.cli, "run", cfg, "--plugin-dir", plugin,
                                         "--no-log"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 30
            while marked(site) < n and p.poll() is None and time.monotonic() < deadline:
                time.sleep(0.005)
            if p.poll() is not None or marked(site) != n:
                fail("the run was not held after rename %d (%d files marked)" % (n, marked(site)))
            with open("/proc/%d/task/%d/children" % (p.pid, p.pid)) as f:
                tool = int(f.read().split()[0])
            # The tool dies of its pending SIGKILL before it runs another instruction; strace,
            # which would otherwise sit out the rest of the hold, goes with it.
            os.kill(tool, signal.SIGKILL)
            p.kill()
            p.wait()
            while not dead(tool):
                time.sleep(0.001)
            if marked(site) != n:
                fail("the run went on after rename %d" % n)
            killed = True
            after_rename += 1
        else:
            delay = rng.uniform(0, full)
            how = "after %.3f s" % delay
            p = subprocess.Popen([args.cli, "run", cfg, "--plugin-dir", plugin, "--no-log"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 start_new_session=True)
            time.sleep(delay)
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
            killed = p.returncode == -signal.SIGKILL
        kills += killed
        where = "round %d, killed %s" % (i, how)

        raw = {}
        for z in archives(plugin):
            for name, bodies in raw_entries(z).items():
                raw.setdefault(name, []).extend(bodies)
        check_sources(originals, raw, where + " (archive as the killed run left it)")

        r = run(args.cli, cfg, plugin)
        if r.returncode != 0:
            fail(where + ": the next run failed: " + r.stderr.decode(errors="replace"))
        kept = {}
        for z in archives(plugin):
            if subprocess.run(["unzip", "-tqq", z], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0:
                fail(where + ": unzip cannot read " + z)
            with zipfile.ZipFile(z) as zf:
                if zf.testzip() is not None:
                    fail(where + ": zipfile finds a bad entry in " + z)
                for info in zf.infolist():
                    kept.setdefault(info.filename, []).append(zf.read(info))
        check_sources(originals, kept, where + " (after the next run)")
        left = [p for p in tree_files(site) if ".tmp-" in os.path.basename(p)]
        if left:
            fail(where + ": temporary files left after the next run: " + ", ".join(left))
    return kills, after_rename, i


class Tmpfs:
    """A small tmpfs; `ok` is false where mounting is not allowed."""

    def __init__(self, path, size, allowed=True):
        self.path = path
        os.makedirs(path, exist_ok=True)
        mount = ["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", path]
        self.ok = allowed and subprocess.run(mount, stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL).returncode == 0

    def fill(self, leave):
        """Leaves about `leave` bytes free."""
        st = os.statvfs(self.path)
        free = st.f_bavail * st.f_frsize
        with open(os.path.join(self.path, "filler"), "wb") as f:
            f.write(b"\0" * max(0, free - leave))

    def unfill(self):
        os.remove(os.path.join(self.path, "filler"))

    def close(self):
        if self.ok:
            subprocess.run(["umount", self.path])


def disk_full(args, work, originals_dir):
    """Returns a line per case."""
    mnt = os.path.join(work, "mnt")
    fs = Tmpfs(mnt, 24 << 20, not args.no_tmpfs)
    report = []
    try:
        cases = [("in place", "site"), ("output folder", "out"), ("backup folder", "plugin")]
        for name, on_disk in cases:
            if fs.ok:
                for d in os.listdir(mnt):
                    shutil.rmtree(os.path.join(mnt, d), ignore_errors=True)
            base = {d: os.path.join(mnt if (d == on_disk and fs.ok) else work, "full-" + d)
                    for d in ("site", "out", "plugin")}
            for d in base.values():
                shutil.rmtree(d, ignore_errors=True)
            shutil.copytree(originals_dir, base["site"])
            os.makedirs(os.path.join(base["plugin"], "temp"))
            cfg = os.path.join(work, "full.json")
            write_config(cfg, base["site"],
                         **({"outpath": base["out"]} if on_disk == "out" else {}))
            originals = tree_files(base["site"])
            biggest = max(len(b) for b in originals.values())
            if fs.ok:
                # Outputs are smaller than their sources, so in place and in the output
                # folder only a little room is left; the archive gets room for an entry or two.
                fs.fill(biggest + biggest // 2 if on_disk == "plugin" else 32 << 10)
                r = run(args.cli, cfg, base["plugin"])
            else:
                # Every write from the 40th on fails as on a full disk.
                r = run(args.cli, cfg, base["plugin"],
                        prefix=["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=write",
                                "-e", "inject=write:error=ENOSPC:when=40+"])
            err = r.stderr.decode(errors="replace")
            if r.returncode != 1:
                fail("disk full, %s: exit status %d, not 1\n%s" % (name, r.returncode, err))
            if fs.ok and ("No space left on device" not in err or base[on_disk] not in err):
                fail("disk full, %s: no error naming a file below %s and the cause:\n%s"
                     % (name, base[on_disk], err))
            kept = {}
            for z in archives(base["plugin"]):
                # Completed as far as it went, without waiting for a repair.
                with zipfile.ZipFile(z) as zf:
                    if zf.testzip() is not None:
                        fail("disk full, %s: bad entry in %s" % (name, z))
                    for info in zf.infolist():
                        kept.setdefault(info.filename, []).append(zf.read(info))
            check_sources(originals, kept, "disk full, " + name)
            if on_disk == "out" and tree_files(base["site"]) != originals:
                fail("disk full, output folder: a source was changed")
            if fs.ok:
                fs.unfill()
            r = run(args.cli, cfg, base["plugin"])
            if r.returncode != 0:
                fail("disk full, %s: the run after freeing space failed: %s"
                     % (name, r.stderr.decode(errors="replace")))
            first_line = [l for l in err.splitlines() if "No space" in l][:1]
            report.append("%s: exit 1, %s"
                          % (name, first_line[0] if first_line else "(no message)"))
    finally:
        fs.close()
    return report, fs.ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cli", default=os.path.join(REPO, "build", "release", "img_util"))
    ap.add_argument("--kills", type=int, default=12)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--corpus", help="a make-corpus folder to take the photos from")
    ap.add_argument("--no-disk-full", action="store_true")
    ap.add_argument("--no-tmpfs", action="store_true",
                    help="fill the disk by strace's ENOSPC injection even where a tmpfs mounts")
    args = ap.parse_args()
    args.cli = os.path.abspath(args.cli)
    args.corpus = args.corpus and os.path.abspath(args.corpus)

    work = tempfile.mkdtemp(prefix="img_util_crash_")
    # The compression's scratch folder is "./temp": keep it out of the repository.
    os.chdir(work)
    try:
        originals_dir = os.path.join(work, "originals")
        os.makedirs(os.path.join(originals_dir, "sub"))
        source = gather_photos(originals_dir, args.corpus)
        # Half of them one level down, so the walk goes into a sub-folder too.
        for f in sorted(os.listdir(originals_dir))[::2]:
            if f != "sub":
                os.rename(os.path.join(originals_dir, f), os.path.join(originals_dir, "sub", f))
        count = len(tree_files(originals_dir))
        t0 = time.monotonic()
        kills, after_rename, rounds = kill_rounds(args, work, originals_dir)
        print("crash_test: %d files (%s), seed %d: 0 originals lost in %d kills "
              "(%d right after a rename, %d at random moments; %d rounds), %.1f s"
              % (count, source, args.seed, kills, after_rename, kills - after_rename, rounds,
                 time.monotonic() - t0))
        if not args.no_disk_full:
            lines, mounted = disk_full(args, work, originals_dir)
            how = "tmpfs" if mounted else "ENOSPC injected by strace (no tmpfs)"
            print("crash_test: disk full (%s): no source damaged" % how)
            for line in lines:
                print("  " + line)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

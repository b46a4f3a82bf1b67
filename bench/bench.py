#!/usr/bin/python3
"""Compression benchmark: our CLI against the tools a user would pick instead.

Every tool runs as its own process once per photo and repetition; wall time and the peak
resident memory of the process (from wait4) are taken per run, and the median run per photo
is reported. Called by bench/run.sh, which builds the CLI and makes the corpus.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The compression job: compression only, 1920 wide, quality 80, target 200 KiB, optimize on.
JOB = {"maskmode": 1, "yswidth": 1920, "quality": 80, "ctrsize": 200, "optimize": 1}
MARKER_BYTES = 5


class Run:
    def __init__(self, seconds, peak_kib, out_bytes, extra=None, cpu=0.0):
        self.seconds = seconds
        self.cpu = cpu
        self.peak_kib = peak_kib
        self.out_bytes = out_bytes
        self.extra = extra or {}


LAST_CPU = [0.0]  # CPU seconds (user + system) of the last timed() process


def timed(cmd, stdout=subprocess.DEVNULL):
    """Runs cmd; returns (wall seconds, peak RSS in KiB, captured stdout or None)."""
    capture = stdout == subprocess.PIPE
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.PIPE)
    out = p.stdout.read() if capture else None
    err = p.stderr.read()
    _, status, usage = os.wait4(p.pid, 0)
    seconds = time.perf_counter() - t0
    LAST_CPU[0] = usage.ru_utime + usage.ru_stime
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), p.returncode,
                                                  err.decode(errors="replace")[-2000:]))
    return seconds, usage.ru_maxrss, out


def jpeg_size(path):
    with open(path, "rb") as f:
        head = f.read(2 * 1024 * 1024)
    i = 2
    while i + 9 < len(head):
        if head[i] != 0xFF:
            i += 1
            continue
        marker = head[i + 1]
        seglen = int.from_bytes(head[i + 2:i + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            h = int.from_bytes(head[i + 5:i + 7], "big")
            w = int.from_bytes(head[i + 7:i + 9], "big")
            return w, h
        i += 2 + seglen
    raise ValueError("no frame header in " + path)


class Tools:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.prefix = ["taskset", "-c", args.cpus] if args.cpus else []

    def ours(self, photo, stem):
        folder = os.path.join(self.work, "src", stem)
        outdir = os.path.join(self.work, "ours", stem)
        os.makedirs(outdir, exist_ok=True)
        target = os.path.join(outdir, os.path.basename(photo))
        if os.path.exists(target):
            os.remove(target)
        cfg = dict(JOB, folder=folder, outpath=outdir, exts=[".jpg"], utimemode=0, utime="",
                   tmpPath=os.path.join(self.work, "tmp-ours"))
        config = os.path.join(self.work, "ours-%s.json" % stem)
        with open(config, "w") as f:
            json.dump(cfg, f)
        s, m, _ = timed(self.prefix + [self.args.cli, "run", config, "--plugin-dir",
                                       os.path.join(self.work, "plugin"), "--no-log"])
        return Run(s, m, os.path.getsize(target), cpu=LAST_CPU[0])

    def pillow(self, photo, stem):
        cfg = dict(JOB, tmpPath=os.path.join(self.work, "tmp-pillow"))
        config = os.path.join(self.work, "pillow.json")
        with open(config, "w") as f:
            json.dump(cfg, f)
        target = os.path.join(self.work, "pillow-%s.jpg" % stem)
        s, m, out = timed(self.prefix + ["/usr/bin/python3",
                                         os.path.join(HERE, "pillow_compress.py"),
                                         config, photo, target], stdout=subprocess.PIPE)
        return Run(s, m, os.path.getsize(target), json.loads(out), cpu=LAST_CPU[0])

    def vips(self, photo, stem):
        target = os.path.join(self.work, "vips-%s.jpg" % stem)
        s, m, _ = timed(self.prefix + ["vipsthumbnail", photo, "--size", "1920x", "-o",
                                       target + "[Q=80,optimize_coding,strip]"])
        return Run(s, m, os.path.getsize(target), cpu=LAST_CPU[0])

    def magick(self, photo, stem):
        target = os.path.join(self.work, "magick-%s.jpg" % stem)
        s, m, _ = timed(self.prefix + ["convert-im6.q16", photo, "-resize", "1920x",
                                       "-quality", "80", target])
        return Run(s, m, os.path.getsize(target), cpu=LAST_CPU[0])

    def floor(self, photo, stem):
        # One full decode, and one encode of a 1920-wide image made beforehand (untimed).
        small = os.path.join(self.work, "floor-%s-1920.ppm" % stem)
        if not os.path.exists(small):
            subprocess.run(["convert-im6.q16", photo, "-resize", "1920x", small], check=True)
        target = os.path.join(self.work, "floor-%s.jpg" % stem)
        s1, m1, _ = timed(self.prefix + ["djpeg", "-outfile", os.devnull, photo])
        c1 = LAST_CPU[0]
        s2, m2, _ = timed(self.prefix + ["cjpeg", "-quality", "80", "-optimize", "-outfile",
                                         target, small])
        return Run(s1 + s2, max(m1, m2), os.path.getsize(target), cpu=c1 + LAST_CPU[0])


TOOLS = [("ours", "our CLI"), ("pillow", "Pillow script"), ("vips", "vipsthumbnail"),
         ("magick", "ImageMagick"), ("floor", "libjpeg floor")]


def median_run(runs):
    runs = sorted(runs, key=lambda r: r.seconds)
    return runs[len(runs) // 2]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--cli", required=True)
    ap.add_argument("--photos", nargs="+", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--cpus", default="", help="taskset CPU list, e.g. 0")
    ap.add_argument("--json", help="write the medians here")
    ap.add_argument("--tools", default=",".join(k for k, _ in TOOLS),
                    help="comma-separated subset of: " + ", ".join(k for k, _ in TOOLS))
    args = ap.parse_args()
    chosen = args.tools.split(",")
    tools_run = [(k, n) for k, n in TOOLS if k in chosen]
    base = "ours" if "ours" in chosen else tools_run[0][0]

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    for d in ("plugin", "src", "tmp-ours", "tmp-pillow"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    tools = Tools(args, work)

    results = {}  # stem -> tool -> Run
    photos = []
    for photo in args.photos:
        stem = os.path.splitext(os.path.basename(photo))[0]
        photos.append((photo, stem))
        os.makedirs(os.path.join(work, "src", stem))
        shutil.copyfile(photo, os.path.join(work, "src", stem, os.path.basename(photo)))
        photo_copy = os.path.join(work, "src", stem, os.path.basename(photo))
        results[stem] = {}
        for key, _ in tools_run:
            runs = []
            for _ in range(args.repeat):
                runs.append(getattr(tools, key)(photo_copy, stem))
            results[stem][key] = median_run(runs)
        print(".", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)

    where = "CPUs %s" % args.cpus if args.cpus else "all CPUs (%d)" % len(os.sched_getaffinity(0))
    print("\n== %s; median of %d runs per photo; job %s" % (where, args.repeat, json.dumps(JOB)))
    header = "%-28s %6s" % ("photo", "MP") + "".join(
        "  %22s" % name for _, name in tools_run)
    print(header)
    print("%-28s %6s" % ("", "") + "".join("  %22s" % "s / MiB / KiB" for _ in tools_run))
    for photo, stem in photos:
        w, h = jpeg_size(photo)
        row = "%-28s %6.1f" % (stem[:28], w * h / 1e6)
        for key, _ in tools_run:
            r = results[stem][key]
            row += "  %22s" % ("%.3f / %4.0f / %4.0f" % (r.seconds, r.peak_kib / 1024,
                                                       r.out_bytes / 1024))
        print(row)

    def total(key):
        return sum(results[s][key].seconds for _, s in photos)

    def total_cpu(key):
        return sum(results[s][key].cpu for _, s in photos)

    def peak(key):
        return max(results[s][key].peak_kib for _, s in photos)

    n = len(photos)
    print("\n%-16s %9s %9s %9s %14s %14s %14s" % (
        "tool", "wall s", "CPU s", "peak MiB", "wall vs " + base, "CPU vs " + base,
        "memory vs " + base))
    print("%-16s %9s %9s" % ("", "per photo", "per photo"))
    for key, name in tools_run:
        print("%-16s %9.3f %9.3f %9.0f %13.2fx %13.2fx %13.2fx" % (
            name, total(key) / n, total_cpu(key) / n, peak(key) / 1024,
            total(key) / total(base), total_cpu(key) / total_cpu(base), peak(key) / peak(base)))
    try:
        load = os.getloadavg()[0]
        print("(load average at the end: %.1f on %d CPUs; wall times on a busy machine "
              "overstate every tool, CPU times less so)" % (load, os.cpu_count()))
    except OSError:
        pass
    if not all(k in chosen for k, _ in TOOLS):
        return

    # Goals of the job.
    speedup = total("pillow") / total("ours")
    vs_floor = total("ours") / total("floor")
    mem = peak("ours") / peak("pillow")
    target_kib = JOB["ctrsize"]
    misses = []
    for _, s in photos:
        trial = results[s]["pillow"].extra.get("trial_kib")
        if trial is not None and trial <= target_kib:
            written = (results[s]["ours"].out_bytes - MARKER_BYTES) / 1024
            if written > target_kib:
                misses.append("%s (%.1f KiB)" % (s, written))
    print("\ngoals (wall time; CPU time in brackets):")
    print("  %-52s %6.2fx  %-7s (%.2fx)" % ("Pillow script time / ours (>= 2)", speedup,
                                          "ok" if speedup >= 2 else "MISSED",
                                          total_cpu("pillow") / total_cpu("ours")))
    print("  %-52s %6.2fx  %-7s (%.2fx)" % ("ours / libjpeg floor time (<= 1.4)", vs_floor,
                                          "ok" if vs_floor <= 1.4 else "MISSED",
                                          total_cpu("ours") / total_cpu("floor")))
    print("  %-52s %6.2fx  %s" % ("ours / Pillow script peak memory (<= 0.5)", mem,
                                  "ok" if mem <= 0.5 else "MISSED"))
    print("  %-52s %s" % ("under ctrsize where the Pillow trial got under it",
                          "ok" if not misses else "MISSED: " + ", ".join(misses)))
    pillow_over = [s for _, s in photos
                   if (results[s]["pillow"].extra.get("trial_kib") or 1e9) <= target_kib
                   and results[s]["pillow"].out_bytes / 1024 > target_kib]
    if pillow_over:
        print("  (the Pillow script itself wrote over %d KiB for: %s)" %
              (target_kib, ", ".join(pillow_over)))

    if args.json:
        with open(args.json, "w") as f:
            json.dump({s: {k: vars(r) for k, r in tools_.items()} for s, tools_ in results.items()},
                      f, indent=1)


if __name__ == "__main__":
    main()

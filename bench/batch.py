#!/usr/bin/python3
"""Batch benchmark: a whole folder in one run, as a site's folder is processed.

Every tool gets the same folder (a fresh copy per repetition) and the compression job of
bench.py; wall time, CPU time and the peak resident memory of its processes are taken, and the
median repetition is reported. Rows: the photos, then the PNGs and GIFs. Called by
bench/run.sh --batch.

  ours             our CLI over the folder, on every CPU (files worked on in parallel)
  ours, 1 CPU      our CLI under taskset -c 0
  Pillow script    the Pillow script of the same algorithm over the folder, one process
  Pillow x2        the Pillow script as two processes side by side, half the files each
                   (the best a Python host could do on two CPUs)
  vips x2          vipsthumbnail two at a time, half the files each (it searches no size
                   target: one encode per file)
  libjpeg floor    per photo one djpeg and one cjpeg of the 1920-wide image, one CPU (and
                   the floor of the slowest photo alone, which one CPU of a batch works on)
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
sys.path.insert(0, HERE)
from bench import JOB  # noqa: E402  (the same job as the per-photo benchmark)


class Result:
    def __init__(self, seconds, cpu, peak_kib):
        self.seconds, self.cpu, self.peak_kib = seconds, cpu, peak_kib


def run_together(cmds):
    """Starts every command at once; returns (wall seconds, CPU seconds, max peak RSS KiB)."""
    t0 = time.perf_counter()
    procs = [subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for c in cmds]
    cpu, peak = 0.0, 0
    for p in procs:
        err = p.stderr.read()
        _, status, usage = os.wait4(p.pid, 0)
        if os.waitstatus_to_exitcode(status) not in (0, 3):
            raise RuntimeError("%s failed: %s" % (" ".join(p.args), err.decode()[-2000:]))
        cpu += usage.ru_utime + usage.ru_stime
        peak = max(peak, usage.ru_maxrss)
    return Result(time.perf_counter() - t0, cpu, peak)


def halves(files):
    return [files[0::2], files[1::2]]


class Batch:
    def __init__(self, args, files, work):
        self.args, self.files, self.work = args, files, work

    def fresh(self, name):
        folder = os.path.join(self.work, name, "src")
        out = os.path.join(self.work, name, "out")
        shutil.rmtree(os.path.join(self.work, name), ignore_errors=True)
        os.makedirs(folder)
        os.makedirs(out)
        for f in self.files:
            shutil.copyfile(f, os.path.join(folder, os.path.basename(f)))
        return folder, out

    def ours(self, cpus=None, jobs=None):
        folder, out = self.fresh("ours")
        cfg = dict(JOB, folder=folder, outpath=out, exts=[".jpg", ".png", ".gif"], utimemode=0,
                   utime="", tmpPath=os.path.join(self.work, "ours", "tmp"))
        config = os.path.join(self.work, "ours.json")
        with open(config, "w") as f:
            json.dump(cfg, f)
        cmd = [self.args.cli, "run", config, "--plugin-dir",
               os.path.join(self.work, "ours", "plugin"), "--no-log"]
        if jobs:
            cmd += ["--jobs", str(jobs)]
        if cpus is not None:
            cmd = ["taskset", "-c", cpus] + cmd
        return run_together([cmd])

    def ours_one_cpu(self):
        return self.ours(cpus="0", jobs=1)

    def pillow_cmd(self, folder, out, names):
        cfg = dict(JOB, tmpPath=os.path.join(out, "tmp"))
        config = os.path.join(out, "pillow.json")
        with open(config, "w") as f:
            json.dump(cfg, f)
        return ["/usr/bin/python3", os.path.join(HERE, "pillow_batch.py"), config, folder, out] + \
            names

    def pillow(self):
        folder, out = self.fresh("pillow")
        names = [os.path.basename(f) for f in self.files]
        return run_together([self.pillow_cmd(folder, out, names)])

    def pillow_x2(self):
        folder, out = self.fresh("pillow2")
        cmds = []
        for i, half in enumerate(halves([os.path.basename(f) for f in self.files])):
            sub = os.path.join(out, str(i))
            os.makedirs(sub)
            cmds.append(self.pillow_cmd(folder, sub, half))
        return run_together(cmds)

    def vips_x2(self):
        folder, out = self.fresh("vips")
        cmds = []
        for half in halves([os.path.join(folder, os.path.basename(f)) for f in self.files]):
            cmds.append(["vipsthumbnail", "--size", "1920x", "-o",
                         os.path.join(out, "%s.jpg[Q=80,optimize_coding,strip]")] + half)
        return run_together(cmds)

    def floor(self):
        photos = [f for f in self.files if f.lower().endswith(".jpg")]
        if not photos:
            return None
        total = Result(0.0, 0.0, 0)
        total.slowest = 0.0  # the floor of the slowest photo alone
        for photo in photos:
            small = os.path.join(self.work, "floor-%s-1920.ppm" % os.path.basename(photo))
            if not os.path.exists(small):
                subprocess.run(["convert-im6.q16", photo, "-resize", "1920x", small], check=True)
            this = 0.0
            for cmd in (["djpeg", "-outfile", os.devnull, photo],
                        ["cjpeg", "-quality", "80", "-optimize", "-outfile",
                         os.path.join(self.work, "floor.jpg"), small]):
                r = run_together([["taskset", "-c", "0"] + cmd])
                total.seconds += r.seconds
                total.cpu += r.cpu
                total.peak_kib = max(total.peak_kib, r.peak_kib)
                this += r.seconds
            total.slowest = max(total.slowest, this)
        return total


TOOLS = [("ours", "ours"), ("ours_one_cpu", "ours, 1 CPU"), ("pillow", "Pillow script"),
         ("pillow_x2", "Pillow x2"), ("vips_x2", "vips x2"), ("floor", "libjpeg floor")]


def median(results):
    results = [r for r in results if r is not None]
    if not results:
        return None
    return sorted(results, key=lambda r: r.seconds)[len(results) // 2]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--cli", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--photos", nargs="+", required=True)
    ap.add_argument("--others", nargs="*", default=[])
    args = ap.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    rows = [("photos (%d)" % len(args.photos), args.photos)]
    if args.others:
        rows.append(("PNGs and GIFs (%d)" % len(args.others), args.others))
    print("\n== batch: one folder per row, one run of each tool over it; median of %d; job %s"
          % (args.repeat, json.dumps(JOB)))
    print("%-20s" % "" + "".join("  %20s" % name for _, name in TOOLS))
    print("%-20s" % "" + "".join("  %20s" % "wall s / CPU s / MiB" for _ in TOOLS))
    for label, files in rows:
        batch = Batch(args, files, os.path.join(work, label.split()[0]))
        got = {}
        for key, _ in TOOLS:
            got[key] = median([getattr(batch, key)() for _ in range(args.repeat)])
            print(".", end="", file=sys.stderr, flush=True)
        print(file=sys.stderr)
        print("%-20s" % label + "".join(
            "  %20s" % ("%.2f / %.2f / %.0f" % (r.seconds, r.cpu, r.peak_kib / 1024) if r else "-")
            for r in (got[k] for k, _ in TOOLS)))
        ours = got["ours"]
        jobs = os.cpu_count() or 1
        ratios = [("Pillow script / ours", got["pillow"].seconds / ours.seconds, ">= 4"),
                  ("Pillow x2 / ours", got["pillow_x2"].seconds / ours.seconds, ">= 2"),
                  ("vips x2 / ours", got["vips_x2"].seconds / ours.seconds, "> 1"),
                  ("ours per job (whole process / %d) / Pillow script peak memory" % jobs,
                   ours.peak_kib / jobs / got["pillow"].peak_kib, "<= 0.5"),
                  ("ours (whole process) / Pillow script peak memory",
                   ours.peak_kib / got["pillow"].peak_kib, "(for the record)")]
        if got["floor"]:
            ratios.append(("ours 1 CPU / libjpeg floor", got["ours_one_cpu"].seconds /
                           got["floor"].seconds, "(per-photo table: <= 1.2 / 1.3)"))
            # A run of the folder waits for its slowest photo, which one CPU works on.
            ratios.append(("Pillow script / floor of the slowest photo alone",
                           got["pillow"].seconds / got["floor"].slowest, "(for the record)"))
        for name, value, goal in ratios:
            print("    %-44s %6.2fx  goal %s" % (name, value, goal))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The compression job over a folder with Pillow, one file after the other in one process.

usage: pillow_batch.py CONFIG.json FOLDER OUTDIR NAME...

Each named file of FOLDER goes through the same steps as pillow_compress.py (downscale, trial
encodings towards the size target, write with the marker) and is written to OUTDIR. A file
that fails is reported on standard error and the batch goes on.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pillow_compress import compress, save  # noqa: E402


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__.split("\n\n")[1])
    config, folder, outdir = sys.argv[1:4]
    with open(config) as f:
        cfg = json.load(f)
    cfg.setdefault("result", {"compresscount": 0, "maskcount": 0, "files": []})
    for name in sys.argv[4:]:
        report = {"adopted": False, "trial_kib": None, "qualities": []}
        try:
            save(os.path.join(outdir, name), cfg, compress(os.path.join(folder, name), cfg, report))
        except Exception as e:  # one bad file must not end the batch
            print("%s: %s" % (name, e), file=sys.stderr)


if __name__ == "__main__":
    main()

"""The steps of bench_codecs_bench done with Pillow, for comparison.

    /usr/bin/python3 bench/codecs_pillow.py FILE [REPEAT]
"""
import io
import sys
import time

from PIL import Image


def best_ms(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, (time.perf_counter() - t0) * 1000)
    return best


def main():
    path = sys.argv[1]
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    data = open(path, "rb").read()
    full = Image.open(io.BytesIO(data))
    full.load()
    fmt = full.format

    def quarter():
        im = Image.open(io.BytesIO(data))
        im.draft(im.mode, (full.size[0] // 4, full.size[1] // 4))
        im.load()

    print("decode %.1f %d" % (best_ms(repeat, lambda: Image.open(io.BytesIO(data)).load()), len(data)))
    print("decode_quarter %.1f %d" % (best_ms(repeat, quarter), len(data)))
    for name, kw in (("encode", {}), ("encode_optimize", {"optimize": True})):
        out = io.BytesIO()

        def encode():
            out.seek(0)
            out.truncate()
            full.save(out, fmt, **kw)

        ms = best_ms(repeat, encode)
        print("%s %.1f %d" % (name, ms, len(out.getvalue())))


if __name__ == "__main__":
    main()

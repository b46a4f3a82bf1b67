#!/usr/bin/python3
"""Says how two sets of output trees kept by `scripts/identity.sh --keep DIR` differ, file by
file: identical, equal but for metadata (EXIF), or changed (with sizes and how far the pixels
moved). Used to show that a change touched only the outputs it meant to.

    scripts/compare_outputs.py OLD_DIR NEW_DIR [--list]
"""
import io
import math
import os
import sys

from PIL import Image, ImageChops, ImageStat


def without_exif(data):
    """JPEG bytes with their APP1 "Exif" segments removed (other data as it is)."""
    if not data.startswith(b"\xff\xd8"):
        return data
    out, i = bytearray(data[:2]), 2
    while i + 4 <= len(data) and data[i] == 0xFF and data[i + 1] not in (0xDA, 0xD9):
        length = int.from_bytes(data[i + 2:i + 4], "big")
        segment = data[i:i + 2 + length]
        if not (data[i + 1] == 0xE1 and segment[4:10] == b"Exif\0\0"):
            out += segment
        i += 2 + length
    return bytes(out + data[i:])


def pixel_change(a, b):
    """'WxH -> WxH' or the PSNR of the first frames, as text."""
    try:
        with Image.open(io.BytesIO(a)) as x, Image.open(io.BytesIO(b)) as y:
            if x.size != y.size:
                return f"size {x.size[0]}x{x.size[1]} -> {y.size[0]}x{y.size[1]}"
            mode = "RGBA" if "A" in x.mode + y.mode or "transparency" in x.info else "RGB"
            diff = ImageChops.difference(x.convert(mode), y.convert(mode))
            mse = sum(v * v for v in ImageStat.Stat(diff).rms) / len(mode)
            return "same pixels" if mse == 0 else f"PSNR {10 * math.log10(255 * 255 / mse):.1f} dB"
    except Exception as e:  # noqa: BLE001 - a file that does not decode is itself a finding
        return f"undecodable ({e})"


def files(tree):
    out = {}
    for dirpath, _, names in os.walk(tree):
        for n in names:
            p = os.path.join(dirpath, n)
            out[os.path.relpath(p, tree)] = p
    return out


def main():
    args = [a for a in sys.argv[1:] if a != "--list"]
    listing = "--list" in sys.argv
    if len(args) != 2:
        sys.exit(__doc__)
    old_root, new_root = args
    for config in sorted(os.listdir(new_root)):
        new_tree = os.path.join(new_root, config, "tree")
        old_tree = os.path.join(old_root, config, "tree")
        if not os.path.isdir(new_tree):
            continue
        old, new = files(old_tree), files(new_tree)
        counts = {"identical": 0, "metadata only": 0, "changed": 0, "only old": 0, "only new": 0}
        lines = []
        for rel in sorted(set(old) | set(new)):
            if rel not in new or rel not in old:
                kind = "only old" if rel not in new else "only new"
                counts[kind] += 1
                lines.append(f"  {kind:13} {rel}")
                continue
            a, b = open(old[rel], "rb").read(), open(new[rel], "rb").read()
            if a == b:
                counts["identical"] += 1
            elif without_exif(a) == without_exif(b):
                counts["metadata only"] += 1
                lines.append(f"  metadata only {rel}: {len(a)} -> {len(b)} bytes")
            else:
                counts["changed"] += 1
                lines.append(f"  changed       {rel}: {len(a)} -> {len(b)} bytes, "
                             f"{pixel_change(a, b)}")
        print(f"{config:12} " + ", ".join(f"{v} {k}" for k, v in counts.items() if v))
        if listing:
            print("\n".join(lines))


if __name__ == "__main__":
    main()

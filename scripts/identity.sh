#!/usr/bin/env bash
# Shows that a change left every output as it was: runs a fixed set of configurations over the
# image corpus and prints one hash per output tree (and one over all of them). Run it before and
# after a change; equal lines mean byte-identical outputs, markers, scratch-free standard output
# and counters.
#
#   scripts/identity.sh [--cli PATH] [--keep DIR] [--jobs N]
#
# --cli     the img_util binary to use (default: builds build-identity/img_util from this tree)
# --keep    leaves the output trees in DIR for a closer look (default: a temporary folder)
# The corpus is made by ../shared/corpus/make-corpus (MAKE_CORPUS names another) into
# bench/out/corpus, shared with the benchmarks (CORPUS names another). Needs /usr/bin/python3 (for the JSON), gifsicle.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli="" keep="" extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --cli) cli=$(realpath "$2"); shift ;;
    --keep) keep=$2; shift ;;
    --jobs) extra+=(--jobs "$2"); shift ;;
    *) echo "usage: scripts/identity.sh [--cli PATH] [--keep DIR] [--jobs N]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$cli" ]; then
  build=$root/build-identity
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMG_UTIL_TESTS=OFF \
    -DIMG_UTIL_PYTHON=OFF >/dev/null
  cmake --build "$build" -j2 --target img_util_cli >/dev/null
  cli=$build/img_util
fi

corpus=${CORPUS:-$root/bench/out/corpus}
if [ ! -d "$corpus/jpeg-phone" ]; then
  echo "making the corpus in $corpus ..." >&2
  "${MAKE_CORPUS:-$root/../shared/corpus/make-corpus}" "$corpus" >/dev/null
fi

work=${keep:-$(mktemp -d)}
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
logo=$work/logo.png
/usr/bin/python3 - "$logo" <<'PY'
import sys
from PIL import Image, ImageDraw
im = Image.new("RGBA", (240, 90), (0, 0, 0, 0))
d = ImageDraw.Draw(im)
d.ellipse((4, 4, 86, 86), fill=(220, 40, 40, 230))
d.rectangle((96, 20, 236, 70), fill=(255, 255, 255, 160), outline=(0, 0, 0, 255), width=3)
im.save(sys.argv[1])
PY

# name | JSON members added to the common ones. Every run writes into its own output tree.
configs='
w1920-ctr|"maskmode": 1, "yswidth": 1920, "quality": 80, "ctrsize": 200, "optimize": 1
w600|"maskmode": 1, "yswidth": 600, "quality": 75, "optimize": 0
h800-ctr|"maskmode": 1, "ysheight": 800, "quality": 85, "ctrsize": 150, "optimize": 1
box1000|"maskmode": 1, "yswidth": 1000, "ysheight": 1000, "quality": 70, "optimize": 1, "clearexif": 1
png-opaque|"maskmode": 1, "yswidth": 800, "quality": 90, "optimize": 0, "isopaque": 1
text|"maskmode": 2, "iscompress": 1, "yswidth": 1280, "quality": 82, "ctrsize": 250, "optimize": 1, "masktext": "example.org ©2026", "fontttf": "FONT", "fontsize": 40, "rgba": "#ffffff60"
logo|"maskmode": 3, "iscompress": 0, "maskimgPath": "LOGO", "maskscale": 5, "maskopacity": 70, "markpos": "rightbottom", "marginx": 20, "marginy": 20, "optimize": 1
gifsicle|"maskmode": 1, "yswidth": 400, "quality": 80, "isgifsicle": 1, "gif_qty": "O3", "gif_color": 6, "gif_loss": 60
'

summary=$work/summary.txt
: >"$summary"
while IFS='|' read -r name members; do
  [ -n "$name" ] || continue
  members=${members//FONT/$font}
  members=${members//LOGO/$logo}
  out=$work/$name
  rm -rf "$out" "$work/plugin-$name"
  mkdir -p "$out/tree" "$work/plugin-$name"
  # The lossy GIF pass runs the tool the plugin directory holds.
  cp "$(command -v gifsicle)" "$work/plugin-$name/gifsicle"
  cat >"$out/config.json" <<JSON
{"folder": "$corpus", "subfold": true, "jumperr": true, "outpath": "$out/tree",
 "exts": [".jpg", ".jpeg", ".png", ".gif", ".webp", ".bmp"], "utimemode": 0, "utime": "", "isbackup": false,
 "tmpPath": "$work/plugin-$name/temp", $members}
JSON
  # Standard output carries the module's own lines (file paths, "error" lines): part of the result.
  "$cli" run "$out/config.json" --plugin-dir "$work/plugin-$name" --no-log --debug \
    --report "$out/report.json" "${extra[@]}" >"$out/stdout.txt" 2>"$out/stderr.txt" || true
  # The report without its times: the counters and the list of files are results too.
  /usr/bin/python3 - "$out/report.json" >"$out/result.txt" <<'PY'
import json, sys
cfg = json.load(open(sys.argv[1]))
res = cfg.get("result", {})
print(res.get("compresscount"), res.get("maskcount"), len(res.get("files", [])))
PY
  # Paths in the lines are made relative to the corpus and the work folder, which vary.
  hash=$( { (cd "$out/tree" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
            sed -e "s|$corpus|CORPUS|g" -e "s|$work|WORK|g" "$out/stdout.txt"
            cat "$out/result.txt"; } | sha256sum | cut -c1-16)
  files=$(find "$out/tree" -type f | wc -l)
  printf '%-12s %s  %3d files\n' "$name" "$hash" "$files" | tee -a "$summary"
done <<<"$configs"
printf '%-12s %s\n' all "$(cut -c1-29 "$summary" | sha256sum | cut -c1-16)"

#!/usr/bin/env bash
# bench/watermark.sh - the text and picture watermarks of img_util against a Python + Pillow
# script doing the plain algorithms (bench/watermark_pillow.py: the 3w x 3h text canvas, and
# the picture pasted on a full-size layer), side by side on a 13 MP phone photo.
# Prints, for each operation on the decoded photo, the first call's time (fresh memory, what
# one file costs) and the best of REPEAT calls (memory reused), each process's peak memory
# (max RSS, decoding included), and the ratios.
#
# Environment: REPEAT (default 3) timed calls per side, BUILD_DIR (default build-bench) for a
# Release build, CORPUS (default bench/out/corpus), PHOTO to use another photo.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=$here/out/watermark
build=${BUILD_DIR:-$root/build-bench}
corpus=${CORPUS:-$here/out/corpus}
repeat=${REPEAT:-3}
py=/usr/bin/python3
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
text="Sample Watermark 1"  # 18 characters

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMG_UTIL_TESTS=OFF \
  -DIMG_UTIL_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target bench_watermark_bench >"$build/bench-build.log" 2>&1 ||
  { cat "$build/bench-build.log" >&2; exit 1; }
ours=$build/bench/bench_watermark_bench

if [ -z "${PHOTO:-}" ]; then
  [ -f "$corpus/SOURCES.md" ] || "${MAKE_CORPUS:-$root/../shared/corpus/make-corpus}" "$corpus" >/dev/null
  PHOTO=$corpus/jpeg-phone/meizu-m5note_3120x4208.jpg
fi
mkdir -p "$out"
# A 400 x 200 logo with soft alpha edges.
$py - "$out/logo.png" <<'PY'
import sys
from PIL import Image, ImageDraw, ImageFilter
logo = Image.new("RGBA", (400, 200), (0, 0, 0, 0))
d = ImageDraw.Draw(logo)
d.ellipse((10, 10, 390, 190), fill=(200, 30, 30, 220))
d.rectangle((120, 60, 280, 140), fill=(255, 255, 255, 255))
logo.filter(ImageFilter.GaussianBlur(3)).save(sys.argv[1])
PY

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
run() {  # run NAME CMD... ; prints a line and sets $first, $secs and $mib
  local name=$1 line; shift
  line=$("$@")
  secs=$(echo "$line" | field seconds); first=$(echo "$line" | field first)
  mib=$(echo "$line" | field peak_rss_mib)
  printf '  %-10s first call %7.3f s   best %7.3f s   peak %7.1f MiB\n' "$name" "$first" "$secs" "$mib"
}
ratio() { $py -c "print('%.1f' % ($1 / $2))"; }
verdict() {  # verdict PILLOW_FIRST OURS_FIRST PILLOW_BEST OURS_BEST PILLOW_MIB OURS_MIB
  echo "  -> img_util is $(ratio "$1" "$2")x faster on the first call, $(ratio "$3" "$4")x on the best," \
    "and uses $(ratio "$5" "$6")x less memory"
}

echo "photo: $PHOTO"
echo "text watermark (\"$text\", DejaVu Sans 36 px, default colour):"
run img_util "$ours" word "$PHOTO" "$font" "$text" "$repeat"; f_ours=$first; t_ours=$secs; m_ours=$mib
run pillow "$py" "$here/watermark_pillow.py" word "$PHOTO" "$font" "$text" 1; f_pil=$first; t_pil=$secs; m_pil=$mib
verdict "$f_pil" "$f_ours" "$t_pil" "$t_ours" "$m_pil" "$m_ours"

echo "picture watermark (400x200 RGBA logo, maskscale 4, maskopacity 50, bottom right):"
run img_util "$ours" pic "$PHOTO" "$out/logo.png" 4 50 "$repeat"; f_ours=$first; t_ours=$secs; m_ours=$mib
run pillow "$py" "$here/watermark_pillow.py" pic "$PHOTO" "$out/logo.png" 4 50 "$repeat"; f_pil=$first; t_pil=$secs; m_pil=$mib
verdict "$f_pil" "$f_ours" "$t_pil" "$t_ours" "$m_pil" "$m_ours"

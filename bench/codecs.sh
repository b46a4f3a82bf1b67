#!/usr/bin/env bash
# bench/codecs.sh - our codecs against Pillow's on the same files: decode, quarter-size decode,
# encode with the defaults and with optimize (best of REPEAT runs each, milliseconds and
# output bytes). Files default to a JPEG and a PNG made with ImageMagick.
#
#   bench/codecs.sh [FILE...]          REPEAT (default 5), BUILD_DIR (default build-bench)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-bench}
repeat=${REPEAT:-5}
out=$here/out/codecs
mkdir -p "$out"

if [ ! -x "$build/bench/bench_codecs_bench" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMG_UTIL_TESTS=OFF -DIMG_UTIL_PYTHON=OFF >/dev/null
  cmake --build "$build" -j2 --target bench_codecs_bench >/dev/null
fi

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  [ -f "$out/photo.jpg" ] || convert-im6.q16 -size 3000x2000 plasma:fractal -quality 90 "$out/photo.jpg"
  [ -f "$out/photo.png" ] || convert-im6.q16 "$out/photo.jpg" -resize 50% "$out/photo.png"
  files=("$out/photo.jpg" "$out/photo.png")
fi

for f in "${files[@]}"; do
  echo "== $f"
  paste <("$build/bench/bench_codecs_bench" "$f" "$repeat") \
        <(/usr/bin/python3 "$here/codecs_pillow.py" "$f" "$repeat") |
    awk '{ printf "%-16s ours %8.1f ms %9d B   pillow %8.1f ms %9d B   ratio %.2f\n", $1, $2, $3, $5, $6, ($2 > 0 ? $5 / $2 : 0) }'
done

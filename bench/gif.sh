#!/usr/bin/env bash
# bench/gif.sh - the animated-GIF frame pipeline (compression-only mode) of img_util against a
# Python + Pillow script doing the same frame loop (bench/gif_pillow.py), side by side on real
# animated GIFs. Prints the median wall time, CPU time (user + system) and peak memory (max RSS)
# of each, and the ratios. Both sides are whole processes: the Python side includes starting the
# interpreter and importing Pillow (about 0.1 s of CPU), as a script run by hand would.
#
# Environment: RUNS (default 3) runs per side, COPIES (default 3) copies of each input GIF,
# BUILD_DIR (default build-bench) for a Release build, CORPUS (default bench/out/corpus), WORK
# (default bench/out/gif) for inputs, outputs and plugin directories (a tmpfs such as
# /dev/shm/gif-bench takes disk waits out of the wall times).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${WORK:-$here/out/gif}
build=${BUILD_DIR:-$root/build-bench}
corpus=${CORPUS:-$here/out/corpus}
runs=${RUNS:-3}
copies=${COPIES:-3}
py=/usr/bin/python3

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMG_UTIL_TESTS=OFF \
  -DIMG_UTIL_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target img_util_cli >/dev/null
cli=$build/img_util
[ -f "$corpus/SOURCES.md" ] || "${MAKE_CORPUS:-$root/../shared/corpus/make-corpus}" "$corpus" >/dev/null

# Animated GIFs between 300 and 800 px on their long side.
rm -rf "$out"
mkdir -p "$out/in"
inputs=(convolution_720x405_9f.gif ca-tca_320x320_3f.gif parallax_320x320_2f.gif aero_350x189_56f.gif)
for f in "${inputs[@]}"; do
  for i in $(seq 1 "$copies"); do cp "$corpus/gif/$f" "$out/in/${f%.gif}_$i.gif"; done
done
in_bytes=$(cat "$out"/in/*.gif | wc -c)

config() {  # config PLUGIN_DIR OUT_DIR
  cat <<EOF
{"folder": "$out/in", "maskmode": 1, "exts": [".gif"], "utimemode": 0, "utime": "",
 "outpath": "$2", "quality": 80, "yswidth": 480, "tmpPath": "$1/ctemp"}
EOF
}

# run_side NAME RUN: one timed run in a fresh plugin and output directory; prints
# "wall-secs cpu-secs max-rss-kib".
run_side() {
  local name=$1 run=$2 dir=$out/$1-$2
  mkdir -p "$dir/plugin" "$dir/out"
  config "$dir/plugin" "$dir/out" > "$dir/cfg.json"
  if [ "$name" = img_util ]; then
    /usr/bin/time -f '%e %U %S %M' -o "$dir/time" \
      "$cli" run "$dir/cfg.json" --plugin-dir "$dir/plugin" --no-log >/dev/null 2>"$dir/stderr"
  else
    /usr/bin/time -f '%e %U %S %M' -o "$dir/time" \
      "$py" "$here/gif_pillow.py" "$dir/cfg.json" "$dir/plugin" >/dev/null 2>"$dir/stderr"
  fi
  awk '{ print $1, $2 + $3, $4 }' "$dir/time"
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

declare -A secs cpu mem
for side in img_util pillow; do : > "$out/$side.t"; done
for r in $(seq 1 "$runs"); do
  for side in img_util pillow; do run_side "$side" "$r" >> "$out/$side.t"; done
done
for side in img_util pillow; do
  secs[$side]=$(cut -d' ' -f1 "$out/$side.t" | median)
  cpu[$side]=$(cut -d' ' -f2 "$out/$side.t" | median)
  mem[$side]=$(cut -d' ' -f3 "$out/$side.t" | median)
done

count() { find "$1" -name '*.gif' | wc -l; }
bytes() { cat "$1"/*.gif 2>/dev/null | wc -c; }
echo "input: $(count "$out/in") animated GIFs, $in_bytes bytes; $runs runs per side (median)"
printf '%-9s %8s %8s %9s %8s %10s\n' side "wall s" "cpu s" "peak MiB" written "out bytes"
for side in img_util pillow; do
  printf '%-9s %8s %8s %9.1f %8s %10s\n' "$side" "${secs[$side]}" "${cpu[$side]}" \
    "$(awk -v k="${mem[$side]}" 'BEGIN { print k / 1024 }')" "$(count "$out/$side-1/out")" "$(bytes "$out/$side-1/out")"
done
awk -v a="${secs[pillow]}" -v b="${secs[img_util]}" -v e="${cpu[pillow]}" -v f="${cpu[img_util]}" \
  -v c="${mem[img_util]}" -v d="${mem[pillow]}" 'BEGIN {
    printf "img_util against Pillow: %.2fx faster by wall time, %.2fx by CPU time; ", a / b, e / f
    printf "peak memory %.2f of Pillow'"'"'s\n", c / d }'

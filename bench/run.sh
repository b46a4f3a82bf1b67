#!/usr/bin/env bash
# One command for the compression benchmark: builds the CLI (Release) if needed, makes the
# photo corpus (cached in bench/out/), and runs our CLI side by side with a Pillow script of
# the same job, vipsthumbnail, ImageMagick and the libjpeg-turbo floor, first on all CPUs,
# then on one (taskset -c 0).
#
#   bench/run.sh [--repeat N] [--all-photos] [--one-pass] [--batch]
#
# MAKE_CORPUS names the corpus script when it is not at ../shared/corpus/make-corpus beside the repository.
#
# Photos: the camera photos of 8 MP and more from the corpus; --all-photos takes every photo
# of the corpus's camera folder (4.5 MP and up). --batch runs bench/batch.py instead: every
# photo of the corpus's camera folder as one folder (and the PNGs and GIFs as a second), one run
# of each tool over the whole folder. Needs: scripts/install-deps.sh --bench.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/bench/out
repeat=3 min_mp=8 passes=(all one) batch=""
while [ $# -gt 0 ]; do
  case $1 in
    --repeat) repeat=$2; shift ;;
    --all-photos) min_mp=0 ;;
    --one-pass) passes=(all) ;;
    --batch) batch=1; min_mp=0 ;;
    *) echo "usage: bench/run.sh [--repeat N] [--all-photos] [--one-pass] [--batch]" >&2; exit 2 ;;
  esac
  shift
done

for tool in vipsthumbnail convert-im6.q16 djpeg cjpeg taskset /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-deps.sh --bench)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import PIL' 2>/dev/null || { echo "run.sh: python3-pil is missing" >&2; exit 1; }

build=${BUILD_DIR:-$root/build-bench}
if [ ! -x "$build/img_util" ] || [ -n "$(find "$root/src" "$root/cli" "$root/include" -newer "$build/img_util" -print -quit)" ]; then
  echo "building $build ..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DIMG_UTIL_TESTS=OFF -DIMG_UTIL_PYTHON=OFF >/dev/null
  cmake --build "$build" -j2 --target img_util_cli >/dev/null
fi

corpus=$out/corpus
if [ ! -d "$corpus/jpeg-phone" ]; then
  echo "making the corpus in $corpus ..." >&2
  "${MAKE_CORPUS:-$root/../shared/corpus/make-corpus}" "$corpus" >/dev/null
fi

photos=()
for f in "$corpus"/jpeg-phone/*.jpg; do
  dims=$(basename "$f" .jpg); dims=${dims##*_}
  if [ $(( ${dims%x*} * ${dims#*x} )) -ge $(( min_mp * 1000000 )) ]; then photos+=("$f"); fi
done
[ ${#photos[@]} -gt 0 ] || { echo "run.sh: no photos of ${min_mp} MP or more in $corpus/jpeg-phone" >&2; exit 1; }

if [ -n "$batch" ]; then
  exec /usr/bin/python3 "$root/bench/batch.py" --cli "$build/img_util" --work "$out/work-batch" \
    --repeat "$repeat" --photos "${photos[@]}" --others "$corpus"/png/*.png "$corpus"/gif/*.gif
fi

for pass in "${passes[@]}"; do
  cpus=""; [ "$pass" = one ] && cpus=0
  /usr/bin/python3 "$root/bench/bench.py" --cli "$build/img_util" --work "$out/work-$pass" \
    --repeat "$repeat" --cpus "$cpus" --json "$out/results-$pass.json" --photos "${photos[@]}"
done

#!/usr/bin/env bash
# The demo: installs what is needed, builds, makes a sample folder of real photos (from a Debian
# package of wallpapers) plus files that must be skipped, and runs a compression job with backups
# and an output folder; then shows what happened. Everything is written below demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh

echo "== building (Release)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j2 --target img_util_cli >/dev/null
cli=$root/build/release/img_util

demo=$root/demo-out
cache=$root/build/demo-cache
rm -rf "$demo"
mkdir -p "$demo/photos/2024/summer" "$demo/photos/2025" "$demo/plugin" "$cache"

echo "== sample folder of real photos"
if [ ! -d "$cache/pkg" ]; then
  (cd "$cache" && apt-get download -qq lomiri-wallpapers-16.04 >/dev/null 2>&1) || true
  deb=$(ls "$cache"/lomiri-wallpapers-16.04_*.deb 2>/dev/null | head -1 || true)
  if [ -n "$deb" ]; then dpkg-deb -x "$deb" "$cache/pkg"; fi
fi
photos=()
if [ -d "$cache/pkg" ]; then
  mapfile -t photos < <(find "$cache/pkg" -name '*.jpg' | sort | head -5)
fi
if [ ${#photos[@]} -gt 0 ]; then
  i=0
  for p in "${photos[@]}"; do
    case $((i % 3)) in
      0) dest=$demo/photos ;;
      1) dest=$demo/photos/2024/summer ;;
      2) dest=$demo/photos/2025 ;;
    esac
    cp "$p" "$dest/$(basename "$p" | tr ' ' '_')"
    i=$((i + 1))
  done
else
  echo "(no photo package reachable: drawing sample images instead)"
  /usr/bin/python3 - "$demo/photos" <<'PY'
import sys, math
from PIL import Image
root = sys.argv[1]
for n, (w, h, sub) in enumerate([(3000, 2000, ""), (2400, 3200, "2024/summer/"), (4000, 3000, "2025/")]):
    im = Image.effect_mandelbrot((w, h), (-2.0 + n * 0.1, -1.2, 0.8, 1.2), 100).convert("RGB")
    im.save(f"{root}/{sub}sample{n}.jpg", quality=95)
PY
fi
# Files that must be skipped: not images, a fake image, an image already processed.
echo "release notes" > "$demo/photos/notes.txt"
echo "this is not a JPEG" > "$demo/photos/2025/broken.jpg"
first=$(find "$demo/photos" -maxdepth 1 -name '*.jpg' | head -1)
cp "$first" "$demo/photos/2025/already-done.jpg" && printf 'Amask' >> "$demo/photos/2025/already-done.jpg"

echo "== what a compression run would do: img_util compress ... --dry-run (touches nothing)"
job=(compress "$demo/photos" -o "$demo/compressed" --recursive --max-width 1920 --quality 80
     --target 200K --backup --keep-going --plugin-dir "$demo/plugin")
"$cli" "${job[@]}" --dry-run || echo "(exit status $?)"

echo
echo "== running it: img_util compress demo-out/photos -o demo-out/compressed --recursive \\"
echo "     --max-width 1920 --quality 80 --target 200K --backup --keep-going --plugin-dir demo-out/plugin -v"
set +e
"$cli" "${job[@]}" -v
rc=$?
set -e
echo "(exit status $rc; 3 would mean the run finished but some files failed)"
echo "== the configuration those flags make (img_util compress ... --print-config)"
"$cli" "${job[@]}" --print-config

echo "== sizes before -> after"
(cd "$demo/photos" && find . -type f -name '*.jpg' | sort) | while read -r rel; do
  src=$demo/photos/$rel; out=$demo/compressed/$rel
  if [ -f "$out" ]; then
    printf '  %-45s %8d KiB -> %6d KiB, ends in "%s"\n' "$rel" $(( $(stat -c %s "$src") / 1024 )) \
      $(( $(stat -c %s "$out") / 1024 )) "$(tail -c 5 "$out")"
  else
    printf '  %-45s %8d KiB    (skipped)\n' "$rel" $(( $(stat -c %s "$src") / 1024 ))
  fi
done
echo "== backup archive"
for z in "$demo"/plugin/backups/*.zip; do unzip -l "$z" | sed 's/^/  /'; done
echo "== the originals back from it, into demo-out/restored (img_util restore ARCHIVE --to DIR)"
"$cli" restore "$demo"/plugin/backups/*.zip --to "$demo/restored" | tail -3
same=0
while read -r f; do
  cmp -s "$f" "$demo/restored$f" && same=$((same + 1))
done < <(find "$demo/photos" -type f -name '*.jpg' ! -name already-done.jpg ! -name broken.jpg)
echo "  $same restored files are byte for byte the originals"

echo
echo "== watermarks from JSON configurations (every key of the module): tiled diagonal texts"
echo "   (Latin with Arabic, read right to left; Chinese) and a logo, each into its own folder"
/usr/bin/python3 - "$demo/logo.png" <<'PY'
import sys
from PIL import Image, ImageDraw
logo = Image.new("RGBA", (400, 160), (0, 0, 0, 0))
d = ImageDraw.Draw(logo)
d.rounded_rectangle((0, 0, 399, 159), 36, fill=(20, 60, 160, 210))
d.ellipse((30, 30, 130, 130), fill=(255, 200, 40, 255))
d.rectangle((160, 60, 370, 100), fill=(255, 255, 255, 230))
logo.save(sys.argv[1])
PY
dejavu=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
cjk=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
[ -f "$cjk" ] || cjk=$dejavu
watermark_run() {  # NAME JSON-KEYS
  local name=$1 keys=$2
  cat > "$demo/$name.json" <<JSON
{
  "folder": "$demo/photos", "subfold": 1, "jumperr": 1, "exts": [".jpg", ".png"],
  "utimemode": 0, "utime": "", "isprotect": 1, "outpath": "$demo/$name",
  "iscompress": 1, "yswidth": 1920, "quality": 80, "optimize": 1, "tmpPath": "$demo/plugin/temp",
  $keys
}
JSON
  echo "-- img_util run demo-out/$name.json"
  "$cli" run "$demo/$name.json" --plugin-dir "$demo/plugin" || echo "(exit status $?)"
  find "$demo/$name" -type f -name '*.jpg' | sort | while read -r f; do
    printf '  %-60s %6d KiB, ends in "%s"\n' "${f#$demo/}" $(( $(stat -c %s "$f") / 1024 )) "$(tail -c 5 "$f")"
  done
}
# The Arabic word ("shop") is shaped with its letters joined and set right to left in the line.
watermark_run watermarked-text '"maskmode": 2, "masktext": "© Shop متجر 2026", "fontttf": "'"$dejavu"'",
  "fontsize": 44, "rgba": "rgba(255, 255, 255, 110)"'
watermark_run watermarked-text-zh '"maskmode": 2, "masktext": "© img_util 演示 水印",
  "fontttf": "'"$cjk"'", "fontsize": 44, "rgba": "rgba(255, 255, 255, 110)"'
watermark_run watermarked-logo '"maskmode": 3, "maskimgPath": "'"$demo/logo.png"'", "maskscale": 6,
  "maskopacity": 70, "markpos": "rightbottom", "marginx": 24, "marginy": 24'
echo
echo "== run log"
"$cli" log --plugin-dir "$demo/plugin"

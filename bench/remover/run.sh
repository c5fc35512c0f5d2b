#!/usr/bin/env bash
# Whole-run timing of recortar on both paths at 1 MP and 12 MP, against
# ImageMagick's `-fuzz 10% -transparent white` in the same run, and peak
# memory. Argument: the build folder. Inputs are drawn here with ImageMagick.
# Medians of several runs (hyperfine); compare the ratios, since absolute
# times move with the machine's load.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-build}"
recortar="$(cd "$build" && pwd)/remover/recortar"
runs="${RUNS:-7}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

# A flat white background with a logo-like subject; a plasma texture (a stand-in
# for a photo) behind a shaded subject. Both as JPEG, as photos arrive.
draw() {  # name width height
  local w=$2 h=$3
  local cx=$((w / 2)) cy=$((h / 2)) rx=$((w / 5)) ry=$((h / 4))
  local subject=(-fill '#d03020' -draw "ellipse $cx,$cy $rx,$ry 0,360"
    -fill '#2050c0' -draw "rectangle $((cx - rx / 2)),$((cy + ry / 2)) $((cx + rx / 2)),$((cy + ry + ry / 3))")
  convert-im6.q16 -size "${w}x${h}" xc:white "${subject[@]}" -quality 90 "flat-$1.jpg"
  convert-im6.q16 -seed 4 -size "$((w / 4))x$((h / 4))" plasma:fractal -resize "${w}x${h}!" \
    "${subject[@]}" -quality 90 "seg-$1.jpg"
}
draw 1mp 1000 1000
draw 12mp 4000 3000

median_ms() {  # command...
  hyperfine -N -i --warmup 1 --runs "$runs" --export-json t.json "$*" >/dev/null 2>&1
  python3 -c 'import json; print(round(1000 * json.load(open("t.json"))["results"][0]["median"]))'
}
peak_kb() { { /usr/bin/time -f %M "$@" 2>&1 >/dev/null || true; } | tail -1; }

base_kb=$(peak_kb "$recortar")  # the libraries alone: usage error, no image
echo "recortar whole runs, median of $runs (ms); ImageMagick: -fuzz 10% -transparent white"
printf '%-10s %-6s %12s %8s %9s %12s %10s\n' path size recortar IM ratio "peak MB" "B/pixel"
for path in flat seg; do
  for size in 1mp 12mp; do
    in="$path-$size.jpg"
    line=$("$recortar" "$in" out.png || true)
    ours=$(median_ms "$recortar" "$in" out.png)
    im=$(median_ms convert-im6.q16 "$in" -fuzz 10% -transparent white im.png)
    kb=$(peak_kb "$recortar" "$in" out.png)
    pixels=$(identify-im6.q16 -format '%[fx:w*h]' "$in")
    per=$(python3 -c "print(f'{($kb - $base_kb) * 1024 / $pixels:.1f}')")
    printf '%-10s %-6s %12s %8s %9s %12s %10s   (%s)\n' "$path" "$size" "$ours" "$im" \
      "$(python3 -c "print(f'{$ours / $im:.2f}')")" "$((kb / 1024))" "$per" "$line"
  done
done
# The floor under every run: loading the program and its codec libraries
# (OpenCV and libheif are opened only when needed) and printing the usage line.
printf '%-10s %-6s %12s\n' startup - "$(median_ms "$recortar")"
echo "peak MB: maximum resident set; B/pixel: above the $((base_kb / 1024)) MB that the"
echo "libraries take before any image is read (decoder buffers included); the seg path"
echo "also loads OpenCV and the network, so its figure includes their own memory."

# Segmentation quality: IoU and no-subject decisions on our own drawn composites
# (tuning set, held-out set, textures; see own_set.py), and on the shared
# benchmark kit when REMOVER_KIT names its folder (it is not part of a clone).
echo
echo "segmentation on drawn composites (bench/remover/own_set.py)"
/usr/bin/python3 "$here/own_set.py" --recortar "$recortar" --out "$work/own"
if [ -n "${REMOVER_KIT:-}" ]; then
  echo
  echo "shared kit ($REMOVER_KIT)"
  /usr/bin/python3 "$REMOVER_KIT/run.py" --recortar "$recortar" --no-big --no-im --out "$work/kit" |
    sed -n '/## Summary/,/## Per case/p'
fi

#!/usr/bin/env bash
# seguir on a clip made here: a camera drifting over a fractal for 3 s. Shows
# the summary line, the start of the track and a scale probe, and draws the
# track with pista. Argument: the build folder; results go to <build>/demo-seguir/.
set -euo pipefail
build="${1:-build}"
seguir="$build/tracker/seguir"
pista="$build/pista/pista"
work="$build/demo-seguir"
mkdir -p "$work"

# Muted colours, so that the overlay's pure ones stand out on the sheet.
ffmpeg -nostdin -loglevel error -y -f lavfi -i "mandelbrot=s=960x600:maxiter=200:start_scale=2.5" \
  -frames:v 1 -vf hue=s=0.3 "$work/field.png"
ffmpeg -nostdin -loglevel error -y -loop 1 -framerate 30 -i "$work/field.png" -t 3 \
  -vf "crop=640:360:'160+120*sin(t)':'120+80*cos(t*0.7)',format=yuv420p" \
  -c:v libx264 -preset veryfast "$work/clip.mp4"

echo "== seguir clip.mp4 0.5 2.5 0.4 0.35 0.55 0.6 track.json"
"$seguir" "$work/clip.mp4" 0.5 2.5 0.4 0.35 0.55 0.6 "$work/track.json"
echo "== start of track.json"
head -c 400 "$work/track.json"
echo " ..."
echo "== seguir --escala field.png field.png 0.4 0.4 0.6 0.6 (same place, shifted, larger)"
"$seguir" --escala "$work/field.png" "$work/field.png" 0.4 0.4 0.6 0.6 \
  "0.4,0.4,0.6,0.6;0.45,0.4,0.65,0.6;0.35,0.35,0.65,0.65"
echo "== pista clip.mp4 track.json hoja.png 0.4 0.35 0.55 0.6 (a contact sheet of the track)"
"$pista" "$work/clip.mp4" "$work/track.json" "$work/hoja.png" 0.4 0.35 0.55 0.6
echo "seguir: the clip, its track and the sheet are in $work/"

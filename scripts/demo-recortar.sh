#!/usr/bin/env bash
# `make demo`, recortar part: two built-in examples drawn with ffmpeg's test
# sources, one on a flat white background (keyed) and one on a busy texture
# (segmented). Argument: the build folder; results go to <build>/demo-recortar/.
set -euo pipefail
build="${1:-build}"
recortar="$build/remover/recortar"
out="$build/demo-recortar"
mkdir -p "$out"

subject="drawbox=x=220:y=130:w=200:h=240:color=0xd03020:t=fill,drawbox=x=270:y=180:w=100:h=100:color=0xf0f0f0:t=fill"
ffmpeg -loglevel error -y -f lavfi -i "color=c=white:s=640x480,$subject" -frames:v 1 "$out/flat.png"
ffmpeg -loglevel error -y -f lavfi \
  -i "cellauto=s=640x480:rule=110:seed=7,format=rgb24,gblur=sigma=1.5,$subject" -frames:v 1 "$out/busy.png"

for name in flat busy; do
  printf 'recortar %s.png %s-recortado.png: ' "$name" "$name"
  "$recortar" "$out/$name.png" "$out/$name-recortado.png"
done
echo "recortar: inputs and cut-outs (PNG with transparency) are in $out/"

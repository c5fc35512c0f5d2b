#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR under the prefix /usr and runs
# each installed program once from there.
set -euo pipefail
cmake_cmd="$1"
build="$2"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
work="$root/work"
mkdir -p "$work"

DESTDIR="$root/dest" "$cmake_cmd" --install "$build" --prefix /usr >/dev/null
usr="$root/dest/usr"
for f in bin/seguir bin/recortar bin/pista share/man/man1/seguir.1 share/man/man1/recortar.1 \
         share/man/man1/pista.1 share/seguir-recortar/u2netp.onnx \
         lib/seguir-recortar/librecortar_segmentation.so lib/seguir-recortar/libstills_exr_dicom.so \
         share/doc/seguir-recortar/README.md; do
  [ -e "$usr/$f" ] || { echo "not installed: $f"; exit 1; }
done
stray=$(cd "$root/dest" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$stray" ] || { echo "installed outside the prefix: $stray"; exit 1; }

expect() {  # expect STATUS PATTERN -- command...
  local want="$1" pattern="$2"
  shift 3
  local out status=0
  out=$("$@" 2>&1) || status=$?
  if [ "$status" != "$want" ] || ! grep -qE "$pattern" <<<"$out"; then
    echo "FAILED: $* -> status $status: $out"
    exit 1
  fi
}

ffmpeg -nostdin -loglevel error -y -f lavfi -i "mandelbrot=s=320x240:maxiter=100" -t 1 \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$work/clip.mp4"
expect 2 '^uso: seguir' -- "$usr/bin/seguir"
expect 0 '^ok [0-9]+ cuadros' -- "$usr/bin/seguir" "$work/clip.mp4" 0 0.5 .4 .4 .6 .6 "$work/t.json"
expect 0 '^ok hoja de' -- "$usr/bin/pista" "$work/clip.mp4" "$work/t.json" "$work/sheet.png"

ffmpeg -nostdin -loglevel error -y -f lavfi \
  -i "color=c=white:s=320x240,drawbox=x=100:y=60:w=120:h=120:color=0xd03020:t=fill" \
  -frames:v 1 "$work/flat.png"
ffmpeg -nostdin -loglevel error -y -f lavfi \
  -i "cellauto=s=320x240:rule=110:seed=7,format=rgb24,gblur=sigma=1.5,drawbox=x=100:y=60:w=120:h=120:color=0xd03020:t=fill" \
  -frames:v 1 "$work/busy.png"
expect 0 '^ok logo 320x240$' -- "$usr/bin/recortar" "$work/flat.png" "$work/flat-out.png"
# The segmentation path loads its module and model from under the prefix.
expect 0 '^ok 320x240$' -- "$usr/bin/recortar" "$work/busy.png" "$work/busy-out.png"
echo "installed programs ran from $usr"

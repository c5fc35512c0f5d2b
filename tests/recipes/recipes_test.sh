#!/usr/bin/env bash
# Runs the README's batch recipe with GNU parallel, its host list holding only
# this machine (':'), on three inputs: a flat background (cut out), a pattern
# without a subject (status 4, an answer the recipe counts as done) and a file
# that is no image (status 3, a failure). Once that file is mended,
# --resume-failed must run it, and only it, again. Then the jq line of the
# README turns a real track into CSV.
set -euo pipefail
export PATH="$(cd "$1" && pwd):$(cd "$2" && pwd):$PATH"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export PARALLEL_HOME="$work/.parallel"
cd "$work"

fail() { echo "FAILED: $*"; cat salida.txt 2>/dev/null; exit 1; }
flat() {  # 64x48, white with a red square
  LC_ALL=C awk 'BEGIN { printf "P6\n64 48\n255\n"
    for (y = 0; y < 48; y++) for (x = 0; x < 64; x++)
      if (x > 20 && x < 44 && y > 12 && y < 36) printf "%c%c%c", 200, 40, 30
      else printf "%c%c%c", 255, 255, 255 }'
}

mkdir fotos
flat >fotos/a-plano.ppm
ffmpeg -nostdin -loglevel error -f lavfi -i "cellauto=s=96x96:rule=110:seed=7,format=rgb24" \
  -frames:v 1 fotos/b-ruido.ppm
printf 'P6\n64 48\n255\nno' >fotos/c-roto.ppm
echo : >maquinas.txt
find fotos -name '*.ppm' | sort >lista.txt

lote() {  # the README's recipe, word for word
  parallel "$@" --sshloginfile maquinas.txt --joblog trabajos.log --tag \
    --transferfile {} --return {.}.png --cleanup \
    'recortar {} {.}.png; s=$?; [ $s -eq 4 ] && s=0; exit $s' :::: lista.txt
}
exits() {  # sequence:status of every job, by sequence; parallel logs them as they end
  tail -n +2 trabajos.log | sort -s -n -k1,1 | awk -F'\t' '{ printf "%s:%s ", $1, $7 }'
}

status=0
lote >salida.txt 2>&1 || status=$?
[ "$status" = 1 ] || fail "parallel should count one failed job, not $status"
[ "$(exits)" = "1:0 2:0 3:3 " ] || fail "job log: $(exits)"
[ -s fotos/a-plano.png ] && [ ! -e fotos/b-ruido.png ] || fail "outputs: $(ls fotos)"

flat >fotos/c-roto.ppm
rm fotos/a-plano.png
lote --resume-failed >salida.txt 2>&1 || fail "the mended job failed again"
[ "$(exits)" = "1:0 2:0 3:3 3:0 " ] || fail "job log after --resume-failed: $(exits)"
[ -s fotos/c-roto.png ] && [ ! -e fotos/a-plano.png ] || fail "outputs: $(ls fotos)"

# A track as a table: the header, then one row of six numbers per frame.
ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=s=160x120:d=0.4:r=25 \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p clip.mp4
seguir clip.mp4 0 1 .4 .4 .6 .6 pista.json >salida.txt
jq -r '"t,x,y,s,r,c", (.frames[] | [.t,.x,.y,.s,.r,.c] | @csv)' pista.json >pista.csv
frames=$(grep -o '"t":' pista.json | wc -l)
number='-?[0-9.]+(e[-+]?[0-9]+)?'
[ "$(head -1 pista.csv)" = "t,x,y,s,r,c" ] || fail "header: $(head -1 pista.csv)"
# By value: jq 1.6 writes 1.0 as 1, jq 1.7 keeps the track's own 1.0.
awk -F, 'NR == 2 { exit !($1 == 0 && $2 == .5 && $3 == .5 && $4 == 1 && $5 == 0 && $6 == 1) }' \
  pista.csv || fail "first frame: $(sed -n 2p pista.csv)"
[ "$(grep -cE "^$number(,$number){5}\$" pista.csv)" = "$frames" ] || fail "rows of $frames frames"
echo "the batch recipe restarted only its failure; the track became $frames rows"

#!/usr/bin/env bash
# seguir against the floor of any tracker that works on grey frames: ffmpeg
# decoding the same clip and converting it to grey at the analysis size.
# Clips: 12 s of 1080p and 6 s of 4K H.264, a camera drifting over a detailed
# fractal with light grain, made once with ffmpeg and kept in the work folder.
# Prints, per clip, the median wall time of each over RUNS interleaved runs,
# the ratio, and the peak resident memory of each.
# Usage: bench/tracker/run.sh BUILD_DIR     (env: RUNS=5, SEGUIR_BENCH_DIR=folder for the clips)
set -euo pipefail
build="${1:-build}"
seguir="$(cd "$build" && pwd)/tracker/seguir"
runs="${RUNS:-5}"
work="${SEGUIR_BENCH_DIR:-${TMPDIR:-/tmp}/seguir-bench}"
mkdir -p "$work"
[ -x "$seguir" ] || { echo "bench/tracker: no seguir at $seguir" >&2; exit 2; }

ff() { ffmpeg -nostdin -loglevel error -y "$@"; }

# A still larger than 4K, then a crop window moving over it: real motion with
# texture at every scale, which is what makes decoding cost what it costs.
clip() {  # name width height seconds
  local out="$work/$1.mp4"
  [ -s "$out" ] && return
  [ -s "$work/field.png" ] ||
    ff -f lavfi -i "mandelbrot=s=4800x2800:maxiter=300:start_scale=2.5" -frames:v 1 "$work/field.png"
  echo "bench/tracker: making $out" >&2
  ff -loop 1 -framerate 30 -i "$work/field.png" -t "$4" \
    -vf "crop=$2:$3:'(iw-$2)/2+300*sin(t/2)':'(ih-$3)/2+200*cos(t/3)',noise=alls=3:allf=t,format=yuv420p" \
    -c:v libx264 -preset veryfast -crf 20 "$out.part.mp4"
  mv "$out.part.mp4" "$out"
}
clip hd 1920 1080 12
clip uhd 3840 2160 6

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# One timed run: appends "seconds maxKB" to the file $1.
timed() {
  local log="$1"
  shift
  /usr/bin/time -f "%e %M" -o "$log.one" "$@" >"$log.out" 2>/dev/null
  cat "$log.one" >>"$log"
}

printf '%-5s %-9s %10s %10s %8s %10s %10s  %s\n' clip analysis floor_s seguir_s ratio floor_MB seguir_MB summary
for name in hd uhd; do
  video="$work/$name.mp4"
  rm -f "$work/$name.floor" "$work/$name.seguir"
  for ((i = 0; i < runs; i++)); do
    timed "$work/$name.floor" ffmpeg -nostdin -loglevel error -i "$video" \
      -vf scale=1920:1080,format=gray -f null -
    timed "$work/$name.seguir" "$seguir" "$video" 0 100 0.4 0.4 0.5 0.55 "$work/$name.json"
  done
  f=$(cut -d' ' -f1 "$work/$name.floor" | median)
  s=$(cut -d' ' -f1 "$work/$name.seguir" | median)
  fm=$(cut -d' ' -f2 "$work/$name.floor" | sort -n | tail -1)
  sm=$(cut -d' ' -f2 "$work/$name.seguir" | sort -n | tail -1)
  awk -v n="$name" -v f="$f" -v s="$s" -v fm="$fm" -v sm="$sm" -v out="$(cat "$work/$name.seguir.out")" \
    'BEGIN { printf "%-5s %-9s %10.2f %10.2f %8.3f %10.1f %10.1f  %s\n", n, "1920x1080", f, s, s / f, fm / 1024, sm / 1024, out }'
done
# The conversion alone, when the benchmarks are built.
if [ -x "$build/bench/tracker/convert_bench" ]; then "$build/bench/tracker/convert_bench"; fi

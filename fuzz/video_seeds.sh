#!/usr/bin/env bash
# Makes the seed corpus of the video frame source fuzzer: tiny clips in the
# containers and codecs a user may hand to seguir, each after the one byte
# that the target reads as the span's start.
# Usage: fuzz/video_seeds.sh OUTDIR
set -euo pipefail
out=${1:?usage: $0 OUTDIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

src="testsrc2=size=64x48:rate=10:duration=0.6"
clip() {  # name, ffmpeg output options
  local name=$1
  shift
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "$src" "$@" "$work/$name"
  { printf '\0'; cat "$work/$name"; } >"$out/$name"
}
x264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 3 -bf 2)
clip h264.mp4 "${x264[@]}"
clip faststart.mp4 "${x264[@]}" -movflags +faststart
clip rotated.mp4 "${x264[@]}" -metadata:s:v:0 rotate=90
clip fragmented.mp4 "${x264[@]}" -movflags +frag_keyframe+empty_moov
clip h264.ts "${x264[@]}"
clip raw.h264 "${x264[@]}"
clip hevc.mkv -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p
clip vp9.webm -c:v libvpx-vp9 -deadline realtime -pix_fmt yuv420p
clip vp8.webm -c:v libvpx -deadline realtime
clip mjpeg.avi -c:v mjpeg -pix_fmt yuvj420p
clip mpeg4.avi -c:v mpeg4 -g 1
clip mpeg2.mpg -c:v mpeg2video
clip ffv1.mkv -c:v ffv1 -pix_fmt gray
clip anim.gif -c:v gif
clip prores.mov -c:v prores

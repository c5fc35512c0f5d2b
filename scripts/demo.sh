#!/usr/bin/env bash
# `make demo`: runs each program on a built-in example. Argument: the build folder.
set -euo pipefail
build="${1:-build}"
here="$(cd "$(dirname "$0")" && pwd)"
ran=0
for part in "$here"/demo-*.sh; do
  [ -e "$part" ] || continue
  bash "$part" "$build"
  ran=1
done
[ "$ran" = 1 ] || echo "demo: built the tracking core; seguir and recortar come with their own changes."

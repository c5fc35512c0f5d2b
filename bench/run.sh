#!/usr/bin/env bash
# `make bench`: the core micro-benchmarks, then every program's timing script
# (bench/*/run.sh). Argument: the build folder.
set -euo pipefail
build="${1:-build}"
here="$(cd "$(dirname "$0")" && pwd)"
"$build/bench/core/core_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
for script in "$here"/*/run.sh; do
  [ -e "$script" ] || continue
  bash "$script" "$build"
done

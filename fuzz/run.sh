#!/usr/bin/env bash
# Runs every fuzz target of a FUZZ=ON build for a set time each, starting from
# the seeds of seeds.sh, and fails when any of them finds something (a crash, a
# sanitizer report, a leak, a timeout, a broken invariant). Findings are kept in
# BUILD/fuzz-findings/TARGET/, logs in BUILD/fuzz-logs/.
# Usage: fuzz/run.sh BUILD [SECONDS]   (SECONDS per target, default 60)
set -uo pipefail
build=$1
seconds=${2:-60}
here=$(dirname "$0")
status=0
mkdir -p "$build/fuzz-logs"
while read -r target; do
  [ -n "$target" ] || continue
  corpus=$build/fuzz-corpus/$target
  findings=$build/fuzz-findings/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$corpus" "$findings"
  bash "$here/seeds.sh" "$target" "$corpus" || exit 2
  # Optional per target: a dictionary, and options (one a line) such as -max_len.
  extra=()
  [ -f "$here/$target.dict" ] && extra+=("-dict=$here/$target.dict")
  [ -f "$here/$target.options" ] && mapfile -t -O ${#extra[@]} extra <"$here/$target.options"
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${extra[@]}" "$corpus" >"$log" 2>&1; then
    result=clean
  else
    result="FOUND (see $findings, $log)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  echo "fuzz: $target: $result; ${runs:-?} runs in ${seconds} s, ${rate:-?} exec/s"
done <"$build/fuzz/targets.txt"
exit $status

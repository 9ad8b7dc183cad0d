#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) each, from the committed
# seeds in fuzz/corpus/ and the inputs earlier runs found (BUILD/corpus/,
# kept between runs). A crash or a broken property stops that target with
# its input saved as BUILD/crash-*; the script then fails.
# Usage: fuzz/run-fuzz.sh BUILD [SECONDS]
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
cd "$(dirname "$0")/.."

status=0
for target in ini clipboard number literal host; do
  exe="$build/fuzz/${target}_fuzz"
  work="$build/corpus/$target"
  log="$build/fuzz-$target.log"
  mkdir -p "$work"
  if "$exe" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
       -artifact_prefix="$build/" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz $target: ${seconds}s, ${runs:-?} inputs, $result"
  echo "$(date -u +%FT%TZ) $target ${seconds}s ${runs:-?} inputs $result" >>"$build/fuzz-history.txt"
done
exit "$status"

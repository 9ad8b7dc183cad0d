#!/usr/bin/env bash
# Runs each command line given at the same time, and fails if any fails.
#
#   side-by-side.sh 'COMMAND ARGS...' 'COMMAND ARGS...' ...
#
# For steps that spend most of their time waiting (on servers, on a virtual X
# server, on a timer): side by side they take about as long as the longest.
# Each one's output goes to a log of its own, printed whole when it ends, so
# that the outputs do not interleave. Interrupted, it stops every command,
# and each command's own clean-up (the test servers' traps) runs.
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 'COMMAND ARGS...' ..." >&2; exit 2; }
logs=$(mktemp -d)
# Each command in a process group of its own, so that stopping one stops all
# it started.
set -m
declare -A name_of=() log_of=()
count=0
for command in "$@"; do
  count=$((count + 1))
  log="$logs/$count.log"
  bash -c "$command" </dev/null >"$log" 2>&1 &
  name_of[$!]=$command
  log_of[$!]=$log
  echo "== started: $command"
done

stop_all() {
  local pid
  for pid in "${!name_of[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  wait || true
  rm -rf "$logs"
}
trap 'stop_all; exit 130' INT TERM
trap 'rm -rf "$logs"' EXIT

status=0
while [ ${#name_of[@]} -gt 0 ]; do
  finished=""
  rc=0
  wait -n -p finished "${!name_of[@]}" || rc=$?
  [ -n "$finished" ] || continue
  echo "== $([ "$rc" -eq 0 ] && echo done || echo "FAILED ($rc)"): ${name_of[$finished]}"
  cat "${log_of[$finished]}"
  [ "$rc" -eq 0 ] || status=$rc
  unset "name_of[$finished]" "log_of[$finished]"
done
exit "$status"

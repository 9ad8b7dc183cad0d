#!/usr/bin/env bash
# Prepares the demo database and opens the window in demo/, so that typing a
# table name (SHAIN, SHOHIN) and pressing Read is all a new user has to do.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program="$(cd "$(dirname "${1:-build/velkin}")" && pwd)/$(basename "${1:-build/velkin}")"
"$root/scripts/make-demo.sh"
cd "$root/demo"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display found; set DISPLAY (or run under xvfb-run) to see the window" >&2
fi
exec "$program"

#!/usr/bin/env bash
# Runs the whole test suite from build folder $1.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
ctest --test-dir "$build" --output-on-failure -j2

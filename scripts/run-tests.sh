#!/usr/bin/env bash
# Runs the whole test suite from build folder $1.
#
# The PostgreSQL tests need a live server: a throwaway cluster is started on
# loopback for the run and always stopped afterwards. Its connection facts
# reach the tests through VELKIN_PG_* variables; without them those tests fail.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."

cluster_env=$(scripts/pg-test-cluster.sh start)
eval "$cluster_env"
trap 'scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
echo "PostgreSQL test cluster at $VELKIN_PG_URI"

status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=$?
exit "$status"

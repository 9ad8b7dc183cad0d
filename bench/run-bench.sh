#!/usr/bin/env bash
# Runs the benchmark from build folder $1 (further arguments go to the bench).
#
# The PostgreSQL and MariaDB cases need live servers: a throwaway cluster and
# server are started on loopback for the run, as for the tests, and always
# stopped afterwards.
set -euo pipefail
build=${1:-build-bench}
shift || true
cd "$(dirname "$0")/.."

cluster_env=$(scripts/pg-test-cluster.sh start)
eval "$cluster_env"
trap 'scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
my_env=$(scripts/mariadb-test-server.sh start)
eval "$my_env"
trap 'scripts/mariadb-test-server.sh stop "$VELKIN_MY_DIR"; scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT

QT_QPA_PLATFORM=offscreen "$build/bench/velkin_bench" "$@"

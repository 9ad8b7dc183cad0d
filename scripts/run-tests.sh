#!/usr/bin/env bash
# Runs the whole test suite from each build folder given (default: build).
# Several folders run side by side (scripts/side-by-side.sh), each against
# servers of its own: a test that runs in two folders at once would otherwise
# meet itself on the same tables.
#
# The PostgreSQL and MariaDB tests need live servers: a throwaway PostgreSQL
# cluster and MariaDB servers are started on loopback for the run and always
# stopped afterwards. Their connection facts reach the tests through
# VELKIN_PG_* and VELKIN_MY_* variables; without them those tests fail.
#
# A folder built with -DVELKIN_SANITIZE=ON runs under AddressSanitizer (leaks
# included) and UndefinedBehaviorSanitizer; any report fails its test.
#
# --build-first 'COMMAND' (one folder, configured already) runs COMMAND, the
# folder's build, while its servers start: they mostly wait, the build keeps
# the cores busy.
set -euo pipefail
cd "$(dirname "$0")/.."
build_first=""
if [ "${1:-}" = --build-first ]; then
  build_first=$2
  shift 2
fi
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(build)

if [ ${#builds[@]} -gt 1 ]; then
  [ -z "$build_first" ] || { echo "run-tests: --build-first takes one folder" >&2; exit 2; }
  passes=()
  for build in "${builds[@]}"; do passes+=("scripts/run-tests.sh $(printf %q "$build")"); done
  exec scripts/side-by-side.sh "${passes[@]}"
fi
build=${builds[0]}
sanitized=no
grep -q '^VELKIN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null && sanitized=yes

# Each server: how it starts and how it stops (given its directory).
declare -A start_of=(
  [pg]="scripts/pg-test-cluster.sh start"
  # For the MySQL/MariaDB tests (VELKIN_MY_*).
  [my]="scripts/mariadb-test-server.sh start"
  # One that offers TLS (VELKIN_MY_TLS_*): the first offers none.
  [my_tls]="scripts/mariadb-test-server.sh start-tls"
  # One whose sessions run in a named time zone and refuse zero dates
  # (VELKIN_MY_ZONED_*): global settings the shared server must not get.
  [my_zoned]="scripts/mariadb-test-server.sh start-zoned"
  # A three-node Galera cluster (VELKIN_GALERA_*).
  [galera]="scripts/galera-test-cluster.sh start"
)
declare -A stop_of=(
  [pg]="scripts/pg-test-cluster.sh stop"
  [my]="scripts/mariadb-test-server.sh stop"
  [my_tls]="scripts/mariadb-test-server.sh stop"
  [my_zoned]="scripts/mariadb-test-server.sh stop"
  [galera]="scripts/galera-test-cluster.sh stop"
)
servers=(pg my my_tls my_zoned)
# The Galera race cases run in the plain build only: the sanitizer adds
# nothing to them but time.
[ "$sanitized" = no ] && servers+=(galera)

# The servers start side by side: each mostly waits on its own start.
env_dir=$(mktemp -d)
stop_servers() {
  local server dir
  for server in "${servers[@]}"; do
    dir=$(sed -n "s/^export VELKIN_.*_DIR='\(.*\)'$/\1/p" "$env_dir/$server.env" 2>/dev/null) || true
    [ -n "$dir" ] && ${stop_of[$server]} "$dir" &
  done
  wait
  rm -rf "$env_dir"
}
trap stop_servers EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
starting=()
for server in "${servers[@]}"; do
  ${start_of[$server]} >"$env_dir/$server.env" &
  starting+=($!)
done
failed=0
if [ -n "$build_first" ]; then
  bash -c "$build_first" || failed=1
  [ "$failed" -eq 0 ] || { wait; echo "run-tests: the build failed" >&2; exit 1; }
fi
for pid in "${starting[@]}"; do wait "$pid" || failed=1; done
[ "$failed" -eq 0 ] || { echo "run-tests: a test server did not start" >&2; exit 1; }
for server in "${servers[@]}"; do . "$env_dir/$server.env"; done
echo "PostgreSQL test cluster at $VELKIN_PG_URI"
echo "MariaDB test servers at $VELKIN_MY_URI, (TLS) $VELKIN_MY_TLS_URI and (Europe/Berlin, no zero dates) $VELKIN_MY_ZONED_URI"
[ "$sanitized" = no ] && echo "Galera test cluster at ports $VELKIN_GALERA_PORTS"

# A 16 MiB quarantine (instead of 256) still catches use after free, and lets
# the tests that bound resident memory hold under the sanitizer.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== tests in $build"
exclude=()
[ "$sanitized" = yes ] && exclude=(-E galera)
ctest --test-dir "$build" --output-on-failure -j2 "${exclude[@]}"

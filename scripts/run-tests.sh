#!/usr/bin/env bash
# Runs the whole test suite from each build folder given (default: build),
# one after the other against the same servers.
#
# The PostgreSQL and MariaDB tests need live servers: a throwaway PostgreSQL
# cluster and MariaDB server are started on loopback for the run and always
# stopped afterwards. Their connection facts reach the tests through
# VELKIN_PG_* and VELKIN_MY_* variables; without them those tests fail.
#
# A folder built with -DVELKIN_SANITIZE=ON runs under AddressSanitizer (leaks
# included) and UndefinedBehaviorSanitizer; any report fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(build)

cluster_env=$(scripts/pg-test-cluster.sh start)
eval "$cluster_env"
trap 'scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
echo "PostgreSQL test cluster at $VELKIN_PG_URI"
# The MariaDB server likewise, for the MySQL/MariaDB tests (VELKIN_MY_*), and
# a second one that offers TLS (VELKIN_MY_TLS_*): the first offers none.
my_env=$(scripts/mariadb-test-server.sh start)
eval "$my_env"
trap 'scripts/mariadb-test-server.sh stop "$VELKIN_MY_DIR"; scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
my_tls_env=$(scripts/mariadb-test-server.sh start-tls)
eval "$my_tls_env"
trap 'scripts/mariadb-test-server.sh stop "$VELKIN_MY_TLS_DIR"; scripts/mariadb-test-server.sh stop "$VELKIN_MY_DIR";
  scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
# A third whose sessions run in a named time zone and refuse zero dates
# (VELKIN_MY_ZONED_*): global settings the shared server must not get.
my_zoned_env=$(scripts/mariadb-test-server.sh start-zoned)
eval "$my_zoned_env"
trap 'scripts/mariadb-test-server.sh stop "$VELKIN_MY_ZONED_DIR"; scripts/mariadb-test-server.sh stop "$VELKIN_MY_TLS_DIR";
  scripts/mariadb-test-server.sh stop "$VELKIN_MY_DIR"; scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
echo "MariaDB test servers at $VELKIN_MY_URI, (TLS) $VELKIN_MY_TLS_URI and (Europe/Berlin, no zero dates) $VELKIN_MY_ZONED_URI"
# A three-node Galera cluster (VELKIN_GALERA_*), for the plain build's race
# cases only: the sanitizer adds nothing to them but time.
for build in "${builds[@]}"; do
  if ! grep -q '^VELKIN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    galera_env=$(scripts/galera-test-cluster.sh start)
    eval "$galera_env"
    trap 'scripts/galera-test-cluster.sh stop "$VELKIN_GALERA_DIR"; scripts/mariadb-test-server.sh stop "$VELKIN_MY_ZONED_DIR";
      scripts/mariadb-test-server.sh stop "$VELKIN_MY_TLS_DIR";
      scripts/mariadb-test-server.sh stop "$VELKIN_MY_DIR"; scripts/pg-test-cluster.sh stop "$VELKIN_PG_DIR"' EXIT
    echo "Galera test cluster at ports $VELKIN_GALERA_PORTS"
    break
  fi
done

# A 16 MiB quarantine (instead of 256) still catches use after free, and lets
# the tests that bound resident memory hold under the sanitizer.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for build in "${builds[@]}"; do
  echo "== tests in $build"
  if grep -q '^VELKIN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    ctest --test-dir "$build" --output-on-failure -j2 -E 'odbc|my_|mysql|galera' || status=$?
    # The ODBC drivers leak on their own (tests/lsan-odbc-drivers.supp says
    # why). Matching their module names needs whole stacks, and the drivers
    # have no frame pointers, so these tests take the slow unwinder.
    ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0" \
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan-odbc-drivers.supp" \
      ctest --test-dir "$build" --output-on-failure -j2 -R 'odbc|my_|mysql' -E galera || status=$?
  else
    ctest --test-dir "$build" --output-on-failure -j2 || status=$?
  fi
done
exit "$status"

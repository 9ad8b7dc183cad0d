#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the test suite.
#
#   pg-test-cluster.sh start      prints "export NAME=VALUE" lines to eval
#   pg-test-cluster.sh stop [DIR] fast shutdown, then removes DIR
#                                 (default: $VELKIN_PG_DIR)
#
# The server runs as a non-root user (the server refuses to run as root), in a
# fresh temporary directory, listening on 127.0.0.1 only at a free port, with
# its unix socket inside that directory. TCP logins need a password
# (scram-sha-256); the socket admits only the cluster's own OS user, which is
# how this script creates the login role and the database.
set -euo pipefail

PG_BIN=${VELKIN_PG_BIN:-/usr/lib/postgresql/15/bin}
ROLE=velkin
ROLE_PASSWORD=velkin_pw
DATABASE=velkin_test

die() { echo "pg-test-cluster: $*" >&2; exit 1; }

. "$(dirname "$0")/server-owner.sh"

start() {
  [ -x "$PG_BIN/initdb" ] || die "PostgreSQL server binaries not found in $PG_BIN (run scripts/install-deps.sh)"
  pick_owner postgres velkin-pg
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/velkin-pg.XXXXXX")
  chmod 700 "$dir"
  [ "$(id -u)" -eq 0 ] && chown "$OWNER" "$dir"

  as_owner "$PG_BIN/initdb" -D "$dir/data" -U postgres --auth-local=peer --auth-host=scram-sha-256 \
    --encoding=UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; rm -rf "$dir"; die "initdb failed"; }

  echo "include = 'velkin-test.conf'" >>"$dir/data/postgresql.conf"

  # A port can be taken between the check and the server's bind, so retry.
  local port="" attempt
  for attempt in 1 2 3 4 5 6 7 8; do
    local candidate=$((20000 + RANDOM % 40000))
    port_in_use "$candidate" && continue
    cat >"$dir/data/velkin-test.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $candidate
unix_socket_directories = '$dir'
max_connections = 60
shared_buffers = 32MB
# A test cluster is thrown away: durability only costs time here.
fsync = off
synchronous_commit = off
full_page_writes = off
# Every statement lands in the log, so tests can see exactly what was sent.
log_statement = 'all'
log_line_prefix = '%m [%p] %u@%d '
lc_messages = 'C'
EOF
    if as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 start >/dev/null 2>&1; then
      port=$candidate
      break
    fi
  done
  if [ -z "$port" ]; then
    cat "$dir/server.log" >&2 2>/dev/null || true
    rm -rf "$dir"
    die "could not start the server"
  fi

  local psql=("$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d postgres)
  # The role owns the database, so it may create tables in its public schema;
  # it may create roles so tests can try logins of their own.
  if ! as_owner "${psql[@]}" -c "CREATE ROLE $ROLE LOGIN CREATEROLE PASSWORD '$ROLE_PASSWORD'" >/dev/null ||
     ! as_owner "${psql[@]}" -c "CREATE DATABASE $DATABASE OWNER $ROLE ENCODING 'UTF8' TEMPLATE template0" >/dev/null ||
     ! as_owner "$PG_BIN/pg_isready" -q -h 127.0.0.1 -p "$port" -t 10; then
    stop "$dir"
    die "could not prepare the login role and database"
  fi

  cat <<EOF
export VELKIN_PG_URI='postgresql://127.0.0.1:$port/$DATABASE'
export VELKIN_PG_USER='$ROLE'
export VELKIN_PG_PASSWORD='$ROLE_PASSWORD'
export VELKIN_PG_PORT='$port'
export VELKIN_PG_DIR='$dir'
export VELKIN_PG_LOG='$dir/server.log'
EOF
}

stop() {
  local dir=${1:-${VELKIN_PG_DIR:-}}
  [ -n "$dir" ] || die "stop: no cluster directory given"
  [ -d "$dir" ] || return 0
  case "$dir" in */velkin-pg.*) ;; *) die "stop: $dir is not a test cluster directory" ;; esac
  if [ -f "$dir/data/postmaster.pid" ]; then
    OWNER=$(stat -c %U "$dir/data")
    as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -m fast -w -t 30 stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop [DIR]" >&2; exit 2 ;;
esac

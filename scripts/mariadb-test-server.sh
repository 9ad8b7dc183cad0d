#!/usr/bin/env bash
# A throwaway MariaDB server for the test suite.
#
#   mariadb-test-server.sh start       prints "export NAME=VALUE" lines to eval
#   mariadb-test-server.sh start-tls   the same for a second server that also
#                                      offers TLS (VELKIN_MY_TLS_* variables)
#   mariadb-test-server.sh start-zoned the same for a server whose sessions
#                                      run in the named time zone Europe/Berlin
#                                      and refuse zero dates (NO_ZERO_DATE,
#                                      NO_ZERO_IN_DATE) (VELKIN_MY_ZONED_*)
#   mariadb-test-server.sh stop [DIR]  shuts the server down, then removes DIR
#                                      (default: $VELKIN_MY_DIR)
#
# The server runs as a non-root user, in a fresh temporary directory, listening
# on 127.0.0.1 only at a free port, with its unix socket inside that directory.
# Grant tables are in force: the tests log in as a real user with a password
# (so a wrong password is refused as on any server); the server's own OS user
# reaches its administrator account through the socket, which is how this
# script creates that user and the database.
#
# The plain server offers no TLS at all (a server started without certificate
# options has none), so the client's refusal of such a server can be tested.
# The TLS server's certificate is made here by a throwaway certificate
# authority, for the names localhost and 127.0.0.1; VELKIN_MY_TLS_CA is that
# authority's certificate. That server also has a PAM login that always fails.
set -euo pipefail

MY_BIN=${VELKIN_MY_BIN:-/usr/bin}
MY_SBIN=${VELKIN_MY_SBIN:-/usr/sbin}
LOGIN=velkin
LOGIN_PASSWORD=velkin_pw
DATABASE=velkin_test

die() { echo "mariadb-test-server: $*" >&2; exit 1; }

. "$(dirname "$0")/server-owner.sh"

# The administrator: the OS user the server runs as, through the socket.
admin() { as_owner "$MY_BIN/mariadb" --no-defaults --socket="$dir/mysqld.sock" -u "$OWNER" "$@"; }

# make_certificates DIR: a certificate authority and a server certificate it
# signed, readable by the server's owner. EC keys are made in milliseconds.
make_certificates() {
  local tls=$1/tls
  mkdir "$tls"
  (
    cd "$tls"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
      -subj /CN=velkin-test-ca -keyout ca-key.pem -out ca.pem
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -subj /CN=localhost -keyout server-key.pem -out server.csr
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 2 \
      -extfile server.ext -out server.pem
  ) >"$1/openssl.log" 2>&1 || { cat "$1/openssl.log" >&2; return 1; }
  if [ "$(id -u)" -eq 0 ]; then chown -R "$OWNER" "$tls"; fi
}

start() {
  local with_tls=$1
  [ -x "$MY_SBIN/mariadbd" ] || die "MariaDB server not found in $MY_SBIN (run scripts/install-deps.sh)"
  pick_owner mysql velkin-my
  dir=$(mktemp -d "${TMPDIR:-/tmp}/velkin-my.XXXXXX")
  chmod 755 "$dir"
  # A temporary folder of its own: a server starting up removes the temporary
  # tables it finds in its folder, and other test servers may be at work.
  mkdir "$dir/tmp"
  [ "$(id -u)" -eq 0 ] && chown "$OWNER" "$dir" "$dir/tmp"
  local tls_options=()
  if [ "$with_tls" = yes ]; then
    make_certificates "$dir" || { rm -rf "$dir"; die "could not make the TLS certificates"; }
    tls_options=(--ssl-ca="$dir/tls/ca.pem" --ssl-cert="$dir/tls/server.pem" --ssl-key="$dir/tls/server-key.pem")
  fi

  as_owner "$MY_BIN/mariadb-install-db" --no-defaults --datadir="$dir/data" --tmpdir="$dir/tmp" --user="$OWNER" \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 ||
    { cat "$dir/install.log" >&2; rm -rf "$dir"; die "mariadb-install-db failed"; }

  local port="" attempt pid
  for attempt in 1 2 3 4 5 6 7 8; do
    local candidate=$((20000 + RANDOM % 40000))
    port_in_use "$candidate" && continue
    # A test server is thrown away: durability only costs time here. The
    # general log shows tests exactly what was sent.
    as_owner "$MY_SBIN/mariadbd" --no-defaults --datadir="$dir/data" --tmpdir="$dir/tmp" --socket="$dir/mysqld.sock" \
      --pid-file="$dir/mysqld.pid" --bind-address=127.0.0.1 --port="$candidate" \
      --log-error="$dir/server.log" --general-log=1 --general-log-file="$dir/general.log" \
      --innodb-buffer-pool-size=64M --innodb-log-file-size=32M --innodb-flush-log-at-trx-commit=0 \
      --sync-binlog=0 --skip-name-resolve --character-set-server=utf8mb4 \
      --collation-server=utf8mb4_bin --max-connections=60 --lc-messages=en_US "${tls_options[@]}" \
      </dev/null >/dev/null 2>&1 &
    pid=$!
    local waited
    for waited in $(seq 1 60); do
      if admin -e "SELECT 1" >/dev/null 2>&1; then
        port=$candidate
        break 2
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.5
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -z "$port" ]; then
    cat "$dir/server.log" >&2 2>/dev/null || true
    rm -rf "$dir"
    die "could not start the server"
  fi

  if ! admin -e "CREATE DATABASE $DATABASE CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
        CREATE USER '$LOGIN'@'127.0.0.1' IDENTIFIED BY '$LOGIN_PASSWORD';
        CREATE USER '$LOGIN'@'localhost' IDENTIFIED BY '$LOGIN_PASSWORD';
        GRANT ALL ON $DATABASE.* TO '$LOGIN'@'127.0.0.1';
        GRANT ALL ON $DATABASE.* TO '$LOGIN'@'localhost';
        GRANT PROCESS, CONNECTION ADMIN ON *.* TO '$LOGIN'@'127.0.0.1';"; then
    stop "$dir"
    die "could not prepare the login and database"
  fi

  if [ "$with_tls" = zoned ]; then
    # Only the one zone the tests name: loading them all takes seconds.
    if ! { "$MY_BIN/mariadb-tzinfo-to-sql" /usr/share/zoneinfo/Europe/Berlin Europe/Berlin 2>/dev/null |
           admin mysql &&
           admin -e "SET GLOBAL time_zone = 'Europe/Berlin';
             SET GLOBAL sql_mode = CONCAT_WS(',', NULLIF(@@GLOBAL.sql_mode, ''), 'NO_ZERO_DATE', 'NO_ZERO_IN_DATE');"; }; then
      stop "$dir"
      die "could not load the time zone and modes"
    fi
    cat <<EOF
export VELKIN_MY_ZONED_URI='mysql://127.0.0.1:$port/$DATABASE'
export VELKIN_MY_ZONED_PORT='$port'
export VELKIN_MY_ZONED_DIR='$dir'
EOF
    return
  fi

  if [ "$with_tls" = yes ]; then
    # A login through PAM, whose client method (dialog) hands over the
    # password as typed. Its PAM service does not exist, so PAM refuses it.
    if ! admin -e "INSTALL SONAME 'auth_pam';
          CREATE USER '${LOGIN}_pam'@'127.0.0.1' IDENTIFIED VIA pam USING 'velkin-test-none';"; then
      stop "$dir"
      die "could not prepare the PAM login"
    fi
    cat <<EOF
export VELKIN_MY_TLS_URI='mysql://127.0.0.1:$port/$DATABASE'
export VELKIN_MY_TLS_PORT='$port'
export VELKIN_MY_TLS_CA='$dir/tls/ca.pem'
export VELKIN_MY_TLS_PAM_USER='${LOGIN}_pam'
export VELKIN_MY_TLS_DIR='$dir'
EOF
    return
  fi
  cat <<EOF
export VELKIN_MY_URI='mysql://127.0.0.1:$port/$DATABASE'
export VELKIN_MY_USER='$LOGIN'
export VELKIN_MY_PASSWORD='$LOGIN_PASSWORD'
export VELKIN_MY_PORT='$port'
export VELKIN_MY_DATABASE='$DATABASE'
export VELKIN_MY_SOCKET='$dir/mysqld.sock'
export VELKIN_MY_DIR='$dir'
export VELKIN_MY_LOG='$dir/general.log'
EOF
}

stop() {
  local dir=${1:-${VELKIN_MY_DIR:-}}
  [ -n "$dir" ] || die "stop: no server directory given"
  [ -d "$dir" ] || return 0
  case "$dir" in */velkin-my.*) ;; *) die "stop: $dir is not a test server directory" ;; esac
  if [ -f "$dir/mysqld.pid" ]; then
    local pid
    pid=$(cat "$dir/mysqld.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 60); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.5
    done
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) start no ;;
  start-tls) start yes ;;
  start-zoned) start zoned ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | start-tls | start-zoned | stop [DIR]" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# A throwaway three-node MariaDB Galera cluster for the test suite.
#
#   galera-test-cluster.sh start        prints "export NAME=VALUE" lines to eval
#   galera-test-cluster.sh stop [DIR]   stops the nodes, then removes DIR
#                                       (default: $VELKIN_GALERA_DIR)
#
# Three mariadbd processes on 127.0.0.1 at free ports, each in its own folder
# under one temporary directory, running as the server's own OS user. Node 1
# starts the cluster; nodes 2 and 3 join it and receive its state by rsync.
# The login and database are those of the plain test server
# (mariadb-test-server.sh), made on node 1 and replicated to the others.
# VELKIN_GALERA_PORTS holds the three client ports, node 1 first.
set -euo pipefail

MY_BIN=${VELKIN_MY_BIN:-/usr/bin}
MY_SBIN=${VELKIN_MY_SBIN:-/usr/sbin}
PROVIDER=${VELKIN_GALERA_PROVIDER:-/usr/lib/galera/libgalera_smm.so}
LOGIN=velkin
LOGIN_PASSWORD=velkin_pw
DATABASE=velkin_test

die() { echo "galera-test-cluster: $*" >&2; exit 1; }

. "$(dirname "$0")/server-owner.sh"

# admin N ARGS: the administrator of node N, through its socket.
admin() {
  local node=$1
  shift
  as_owner "$MY_BIN/mariadb" --no-defaults --socket="$dir/node$node/mysqld.sock" -u "$OWNER" "$@"
}

# A free port that no other node of this cluster has taken.
free_port() {
  local candidate
  while :; do
    candidate=$((20000 + RANDOM % 40000))
    port_in_use "$candidate" && continue
    case " ${taken[*]} " in *" $candidate "*) continue ;; esac
    taken+=("$candidate")
    echo "$candidate"
    return
  done
}

# start_node N [--wsrep-new-cluster]
start_node() {
  local n=$1 node="$dir/node$1"
  shift
  # rsync runs as the node's user, and finds its tools on PATH.
  as_owner env PATH="/usr/sbin:/usr/bin:/sbin:/bin" "$MY_SBIN/mariadbd" --no-defaults --datadir="$node/data" --tmpdir="$node/tmp" \
    --socket="$node/mysqld.sock" --pid-file="$node/mysqld.pid" --bind-address=127.0.0.1 \
    --port="${client[$n]}" --log-error="$node/server.log" --innodb-buffer-pool-size=64M \
    --innodb-log-file-size=32M --innodb-flush-log-at-trx-commit=0 --skip-name-resolve \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_bin --max-connections=60 \
    --lc-messages=en_US --binlog-format=ROW --default-storage-engine=InnoDB --innodb-autoinc-lock-mode=2 \
    --wsrep-on=ON --wsrep-provider="$PROVIDER" --wsrep-cluster-name=velkin-test \
    --wsrep-cluster-address="gcomm://127.0.0.1:${group[1]},127.0.0.1:${group[2]},127.0.0.1:${group[3]}" \
    --wsrep-node-name="node$n" --wsrep-node-address="127.0.0.1:${group[$n]}" \
    --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:${group[$n]};ist.recv_addr=127.0.0.1:${ist[$n]};gcache.size=64M" \
    --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:${sst[$n]}" "$@" \
    </dev/null >/dev/null 2>&1 &
}

# wait_synced N: until node N says Synced, or fail.
wait_synced() {
  local n=$1 state
  for _ in $(seq 1 120); do
    state=$(admin "$n" -N -e "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null | cut -f2) || true
    [ "$state" = Synced ] && return 0
    sleep 0.5
  done
  cat "$dir/node$n/server.log" >&2 2>/dev/null || true
  return 1
}

start() {
  [ -x "$MY_SBIN/mariadbd" ] || die "MariaDB server not found in $MY_SBIN (run scripts/install-deps.sh)"
  [ -f "$PROVIDER" ] || die "Galera provider $PROVIDER not found (install galera-4)"
  pick_owner mysql velkin-my
  dir=$(mktemp -d "${TMPDIR:-/tmp}/velkin-galera.XXXXXX")
  chmod 755 "$dir"
  taken=()
  local -a client group ist sst
  local n
  for n in 1 2 3; do
    # Each node's temporary folder its own (see mariadb-test-server.sh).
    mkdir -p "$dir/node$n/tmp"
    client[$n]=$(free_port); taken+=("${client[$n]}")
    group[$n]=$(free_port); taken+=("${group[$n]}")
    ist[$n]=$(free_port); taken+=("${ist[$n]}")
    sst[$n]=$(free_port); taken+=("${sst[$n]}")
  done
  [ "$(id -u)" -eq 0 ] && chown -R "$OWNER" "$dir"
  for n in 1 2 3; do
    as_owner "$MY_BIN/mariadb-install-db" --no-defaults --datadir="$dir/node$n/data" --tmpdir="$dir/node$n/tmp" --user="$OWNER" \
      --auth-root-authentication-method=socket --skip-test-db >"$dir/node$n/install.log" 2>&1 ||
      { cat "$dir/node$n/install.log" >&2; stop "$dir"; die "mariadb-install-db failed"; }
  done

  start_node 1 --wsrep-new-cluster
  wait_synced 1 || { stop "$dir"; die "node 1 did not start"; }
  admin 1 -e "CREATE DATABASE $DATABASE CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
      CREATE USER '$LOGIN'@'127.0.0.1' IDENTIFIED BY '$LOGIN_PASSWORD';
      GRANT ALL ON $DATABASE.* TO '$LOGIN'@'127.0.0.1';
      GRANT PROCESS, CONNECTION ADMIN ON *.* TO '$LOGIN'@'127.0.0.1';" ||
    { stop "$dir"; die "could not prepare the login and database"; }
  # The joiners one at a time: node 1 gives its state to one joiner at a time.
  for n in 2 3; do
    start_node "$n"
    wait_synced "$n" || { stop "$dir"; die "node $n did not join"; }
  done
  cat <<EOF
export VELKIN_GALERA_PORTS='${client[1]} ${client[2]} ${client[3]}'
export VELKIN_GALERA_USER='$LOGIN'
export VELKIN_GALERA_PASSWORD='$LOGIN_PASSWORD'
export VELKIN_GALERA_DATABASE='$DATABASE'
export VELKIN_GALERA_DIR='$dir'
EOF
}

stop() {
  local dir=${1:-${VELKIN_GALERA_DIR:-}}
  [ -n "$dir" ] || die "stop: no cluster directory given"
  [ -d "$dir" ] || return 0
  case "$dir" in */velkin-galera.*) ;; *) die "stop: $dir is not a test cluster directory" ;; esac
  local pids=() pidfile n
  # The joiners first, so node 1 never waits for them to leave.
  for n in 3 2 1; do
    pidfile="$dir/node$n/mysqld.pid"
    [ -f "$pidfile" ] || continue
    pids+=("$(cat "$pidfile")")
    kill "${pids[-1]}" 2>/dev/null || true
  done
  local pid
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 60); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.5
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  pkill -f "rsync --daemon.*$dir" 2>/dev/null || true
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop [DIR]" >&2; exit 2 ;;
esac

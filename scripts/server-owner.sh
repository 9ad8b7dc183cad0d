# Sourced by the throwaway test servers' scripts (pg-test-cluster.sh,
# mariadb-test-server.sh): database servers refuse to run as root, so under
# root they run as the server package's own user, or a system user made for
# the purpose.

# pick_owner SERVICE_USER FALLBACK_USER: sets OWNER.
pick_owner() {
  if [ "$(id -u)" -ne 0 ]; then
    OWNER=$(id -un)
  elif getent passwd "$1" >/dev/null; then
    OWNER=$1
  else
    OWNER=$2
    getent passwd "$OWNER" >/dev/null ||
      useradd --system --no-create-home --shell /usr/sbin/nologin "$OWNER"
  fi
}

# Runs a command as OWNER.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u "$OWNER" -- "$@"
  else
    "$@"
  fi
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

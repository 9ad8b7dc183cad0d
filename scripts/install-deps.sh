#!/usr/bin/env bash
# Installs the Debian 12 packages Velkin builds, runs and tests with, when missing.
set -euo pipefail
packages=(
  g++ cmake make ninja-build pkg-config
  qt6-base-dev libgl-dev fonts-noto-cjk
  libsqlite3-dev sqlite3
  libpq-dev postgresql postgresql-client
  unixodbc-dev unixodbc odbc-postgresql libsqliteodbc
  libmariadb-dev mariadb-server mariadb-client odbc-mariadb openssl
  galera-4 rsync iproute2 lsof
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev lld
  xvfb xdotool xclip imagemagick
  libqt6svg6 dpkg-dev file lintian desktop-file-utils x11-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

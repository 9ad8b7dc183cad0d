#!/usr/bin/env bash
# Prepares demo/ for a first run: the sample database demo.db, built from
# demo/demo.sql, and a Velkin.ini whose connection boxes point at it (the
# program runs with demo/ as its working directory).
#
# Files that already exist are left alone, so a user's changes to the data or
# the settings survive; --force rebuilds demo.db (never Velkin.ini).
set -euo pipefail
cd "$(dirname "$0")/../demo"

force=0
[ "${1:-}" = "--force" ] && force=1

if [ "$force" = 1 ] || [ ! -e demo.db ]; then
  if ! command -v sqlite3 >/dev/null; then
    echo "make-demo: the sqlite3 command is needed (Debian package sqlite3)" >&2
    exit 1
  fi
  # Built aside and renamed into place, so a failed build leaves no half database.
  tmp=$(mktemp demo.db.XXXXXX)
  trap 'rm -f "$tmp"' EXIT
  sqlite3 -bail "$tmp" < demo.sql
  chmod 644 "$tmp"
  mv -f "$tmp" demo.db
  echo "make-demo: created demo/demo.db"
fi

if [ ! -e Velkin.ini ]; then
  printf '[Default1]\nUSERID=demo\nPASS=demo\nHOST=sqlite:demo.db\n' > Velkin.ini.tmp
  mv -f Velkin.ini.tmp Velkin.ini
  echo "make-demo: created demo/Velkin.ini"
fi

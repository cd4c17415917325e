#!/usr/bin/env bash
# A throw-away PostgreSQL server for tests, on 127.0.0.1 and a free port chosen at run time.
#
#   pg_server.sh start DIR   creates DIR (must not exist or be empty), initdb's a cluster in it, starts
#                            the server and prints its port; the unix socket lives in DIR too
#   pg_server.sh psql DIR SQL...   runs SQL as the superuser "postgres" (database "postgres")
#   pg_server.sh stop DIR    stops the server and removes DIR
#
# Local (socket) connections are trusted; TCP connections need a password (scram-sha-256), so a
# refused login can be tested. initdb refuses root: as root the server runs as user "postgres".
set -euo pipefail

die() { echo "pg_server.sh: $*" >&2; exit 1; }

bindir() {
  local d
  for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    [ -x "$d/initdb" ] && { echo "$d"; return; }
  done
  command -v initdb >/dev/null && { dirname "$(command -v initdb)"; return; }
  die "no PostgreSQL server installed (Debian package postgresql)"
}

# Runs a server program as the cluster's owner.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || die "usage: pg_server.sh start|psql|stop DIR [SQL...]"
bin=$(bindir)

case "$cmd" in
start)
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  as_owner "$bin/initdb" -D "$dir/data" -U postgres -E UTF8 --locale=C --no-sync \
    --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; die "initdb failed"; }
  # A port taken between choosing it and binding it: choose again.
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
         -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
         start >/dev/null 2>&1; then
      echo "$port" >"$dir/port"
      echo "$port"
      exit 0
    fi
  done
  cat "$dir/server.log" >&2 || true
  die "the server did not start"
  ;;
psql)
  shift 2
  port=$(cat "$dir/port")
  for sql in "$@"; do
    psql -X -q -v ON_ERROR_STOP=1 -At -h "$dir" -p "$port" -U postgres -d postgres -c "$sql"
  done
  ;;
stop)
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
  ;;
*)
  die "unknown command $cmd"
  ;;
esac

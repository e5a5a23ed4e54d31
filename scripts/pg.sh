#!/usr/bin/env bash
# A private PostgreSQL server for tests and demos.
#
#   scripts/pg.sh start DIR   initialises and starts a server in DIR (created,
#                             must not hold one yet) and prints its connection
#                             string, which names the database "blr_test"
#   scripts/pg.sh stop DIR    stops it and removes DIR
#
# The server listens only on a unix socket in DIR (no TCP), trusts local
# connections of the user "postgres", and keeps texts as raw bytes
# (SQL_ASCII).  It also holds the databases "Anchor" and "HistoryDB".
# Run as root, the server runs as the "postgres" account.
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
action=$1
dir=$2

bindir=${PG_BINDIR:-}
if [ -z "$bindir" ]; then
  for d in /usr/lib/postgresql/*/bin; do [ -x "$d/pg_ctl" ] && bindir=$d; done
fi
[ -n "$bindir" ] && [ -x "$bindir/pg_ctl" ] || { echo "$0: PostgreSQL server binaries not found" >&2; exit 1; }

as_server() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# A port number private to this server: it names the socket file only.
port=$(( 20000 + $$ % 20000 ))

case "$action" in
  start)
    mkdir -p "$dir"
    [ ! -e "$dir/data" ] || { echo "$0: $dir already holds a server" >&2; exit 1; }
    [ "$(id -u)" -ne 0 ] || chown postgres: "$dir"
    as_server "$bindir/initdb" -D "$dir/data" -U postgres --auth=trust -E SQL_ASCII --locale=C \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    echo "$port" >"$dir/port"
    as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-c listen_addresses='' -c unix_socket_directories='$dir' -p $port -c fsync=off" \
      start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    for db in blr_test Anchor HistoryDB; do
      "$bindir/createdb" -h "$dir" -p "$port" -U postgres "$db"
    done
    echo "host=$dir port=$port user=postgres dbname=blr_test"
    ;;
  stop)
    if [ -d "$dir/data" ]; then
      as_server "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null || true
    fi
    rm -rf "$dir"
    ;;
  *)
    usage
    ;;
esac

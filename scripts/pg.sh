#!/usr/bin/env bash
# A private PostgreSQL server, or a primary with a synchronous standby, for
# tests and demos.
#
#   scripts/pg.sh start DIR      initialises and starts a server in DIR (created,
#                                must not hold one yet) and prints its connection
#                                string, which names the database "blr_test"
#   scripts/pg.sh start-pair DIR a primary in DIR/data and a synchronous standby
#                                copied from it with pg_basebackup in DIR/standby;
#                                prints one multi-host connection string that
#                                reaches whichever of them takes writes
#   scripts/pg.sh promote DIR    stops the primary of a pair at once (as a crash
#                                would) and promotes the standby with pg_ctl promote
#   scripts/pg.sh stop DIR       stops what runs in DIR and removes DIR
#
# Servers listen only on unix sockets in DIR (no TCP), trust local connections
# of the user "postgres", and keep texts as raw bytes (SQL_ASCII).  They also
# hold the databases "Anchor" and "HistoryDB".  Run as root, the servers run
# as the "postgres" account.
set -euo pipefail

usage() { echo "usage: $0 start|start-pair|promote|stop DIR" >&2; exit 2; }
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

# Port numbers private to these servers: they name the socket files only.
port=$(( 20000 + $$ % 20000 ))
standby_port=$(( port + 1 ))

# start_server DATADIR PORT LOG [SETTINGS...]
start_server() {
  local data=$1 p=$2 log=$3; shift 3
  as_server "$bindir/pg_ctl" -D "$data" -l "$log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' -p $p $*" \
    start >/dev/null || { cat "$log" >&2; exit 1; }
}

init_primary() {
  mkdir -p "$dir"
  [ ! -e "$dir/data" ] || { echo "$0: $dir already holds a server" >&2; exit 1; }
  [ "$(id -u)" -ne 0 ] || chown postgres: "$dir"
  as_server "$bindir/initdb" -D "$dir/data" -U postgres --auth=trust -E SQL_ASCII --locale=C \
    >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
  echo "$port" >"$dir/port"
}

create_databases() {
  for db in blr_test Anchor HistoryDB; do
    "$bindir/createdb" -h "$dir" -p "$port" -U postgres "$db"
  done
}

case "$action" in
  start)
    init_primary
    start_server "$dir/data" "$port" "$dir/server.log" -c fsync=off
    create_databases
    echo "host=$dir port=$port user=postgres dbname=blr_test"
    ;;
  start-pair)
    init_primary
    start_server "$dir/data" "$port" "$dir/server.log"
    create_databases
    as_server "$bindir/pg_basebackup" -h "$dir" -p "$port" -U postgres -D "$dir/standby" -R -c fast \
      -X stream -d "host=$dir port=$port user=postgres application_name=standby" \
      >"$dir/basebackup.log" 2>&1 || { cat "$dir/basebackup.log" >&2; exit 1; }
    echo "$standby_port" >"$dir/standby_port"
    start_server "$dir/standby" "$standby_port" "$dir/standby.log"
    # From now on a commit returns once the standby has its WAL; fsync stays
    # on, since a promotion must not lose what was acknowledged.
    "$bindir/psql" -qAt -h "$dir" -p "$port" -U postgres -d postgres \
      -c "ALTER SYSTEM SET synchronous_standby_names = 'standby'" -c "SELECT pg_reload_conf()" >/dev/null
    for _ in $(seq 100); do
      state=$("$bindir/psql" -qAt -h "$dir" -p "$port" -U postgres -d postgres \
        -c "SELECT sync_state FROM pg_stat_replication WHERE application_name = 'standby'")
      [ "$state" = sync ] && break
      sleep 0.1
    done
    [ "$state" = sync ] || { echo "$0: the standby did not become synchronous" >&2; exit 1; }
    echo "host=$dir,$dir port=$port,$standby_port user=postgres dbname=blr_test target_session_attrs=read-write"
    ;;
  promote)
    [ -d "$dir/standby" ] || { echo "$0: $dir holds no standby" >&2; exit 1; }
    as_server "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null || true
    as_server "$bindir/pg_ctl" -D "$dir/standby" -w -t 60 promote >/dev/null
    ;;
  stop)
    for data in "$dir/data" "$dir/standby"; do
      if [ -f "$data/postmaster.pid" ]; then
        as_server "$bindir/pg_ctl" -D "$data" -m fast -w stop >/dev/null || true
      fi
    done
    rm -rf "$dir"
    ;;
  *)
    usage
    ;;
esac

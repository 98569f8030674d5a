#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A throw-away PostgreSQL server for the demo and the tests: initdb and
# pg_ctl from the machine's PostgreSQL, run by an unprivileged user in a
# directory of its own, listening on a loopback port only, trusting
# whoever connects there as the user "histfeed".
#
#   scripts/postgres-cluster.sh start DIR [PORT] [--fast]
#       makes the cluster in DIR unless it is there, starts it on PORT (a
#       free port when 0 or none), prints "port N" and keeps N in DIR/port;
#       --fast turns off
#       syncing to the disk (tests: a crash of the machine loses it anyway)
#   scripts/postgres-cluster.sh stop DIR [fast|immediate]
#   scripts/postgres-cluster.sh remove DIR      stops it and removes DIR
#
# initdb refuses to run as root: as root the server runs as the system
# user "postgres" (the postgresql package makes it), or a system user
# "histfeed-postgres" made here. Exits 77 when the server programs are
# missing (scripts/install-deps.sh test installs them).
set -euo pipefail

bin=${HISTFEED_POSTGRESQL_BIN:-}
if [ -z "$bin" ]; then
  for candidate in /usr/lib/postgresql/*/bin; do
    [ -x "$candidate/initdb" ] && bin=$candidate
  done
fi
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
  echo "postgres-cluster: NO POSTGRESQL SERVER PROGRAMS (initdb, pg_ctl) FOUND;" \
       "scripts/install-deps.sh test installs them" >&2
  exit 77
fi

command=${1:-}
dir=${2:-}
if [ -z "$command" ] || [ -z "$dir" ]; then
  echo "usage: $0 start DIR [PORT] [--fast] | stop DIR [fast|immediate] | remove DIR" >&2
  exit 2
fi

# Runs a command as the cluster's owner.
owner=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  owner=postgres
  if ! id -u "$owner" >/dev/null 2>&1; then
    owner=histfeed-postgres
    id -u "$owner" >/dev/null 2>&1 ||
      useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$owner"
  fi
fi
as_owner() {
  if [ "$(id -un)" = "$owner" ]; then
    "$@"
  else
    setpriv --reuid="$owner" --regid="$(id -g "$owner")" --init-groups -- "$@"
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

case $command in
  start)
    port=${3:-0}
    fast=
    [ "${4:-}" = --fast ] || [ "${3:-}" = --fast ] && fast=1
    [ "$port" = --fast ] && port=0
    [ "$port" -eq 0 ] && port=$(free_port)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    chown "$owner" "$dir" 2>/dev/null || true
    chmod 0700 "$dir"
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      as_owner "$bin/initdb" -D "$dir/data" -U histfeed --auth=trust -E UTF8 --locale=C \
        >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    fi
    options="-c listen_addresses=127.0.0.1 -p $port -c unix_socket_directories="
    [ -n "$fast" ] && options+=" -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    if ! as_owner "$bin/pg_ctl" start -w -t 60 -D "$dir/data" -l "$dir/server.log" \
         -o "$options" >/dev/null; then
      cat "$dir/server.log" >&2
      exit 1
    fi
    echo "$port" >"$dir/port"
    echo "port $port"
    ;;
  stop|remove)
    mode=${3:-fast}
    if [ -f "$dir/data/postmaster.pid" ]; then
      as_owner "$bin/pg_ctl" stop -w -t 60 -D "$dir/data" -m "$mode" >/dev/null || true
    fi
    # An if, not `&&`: a stop must not end in the failed test's status.
    if [ "$command" = remove ]; then rm -rf "$dir"; fi
    ;;
  *)
    echo "$0: unknown command $command" >&2
    exit 2
    ;;
esac

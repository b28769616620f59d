#!/usr/bin/env bash
# A throwaway PostgreSQL 15 cluster for tests and benchmarks, in a folder of its own.
#
#   pg-cluster.sh start DIR [NAME=VALUE]...   makes a new cluster in DIR (which must not exist yet) and
#                                             starts it; extra NAME=VALUE are server settings (fsync=off, ...);
#                                             a cluster DIR holds already (after stop) is started again
#   pg-cluster.sh stop DIR                    stops it (fast shutdown); the folder stays
#   pg-cluster.sh restart DIR [fast|immediate]  stops it with that mode (immediate: as if it crashed), then
#                                             starts it again on the same port
#   pg-cluster.sh env DIR                     prints the connection settings again
#
# `start` and `env` print shell assignments on standard output, to be read with eval or line by line:
#   PGHOST=DIR/socket PGPORT=<port> PGUSER=tessaro PGDATABASE=postgres TESSARO_PG_PASSWORD=<password>
# The server listens on the Unix socket in DIR/socket and on 127.0.0.1:<port> (a free port). The role
# "tessaro" is a superuser: through the socket it needs no password; over TCP it signs in with
# TESSARO_PG_PASSWORD (SCRAM), so tests can show that PGPASSWORD and ~/.pgpass reach the server.
# Make databases with: psql -h "$PGHOST" -p "$PGPORT" -U tessaro -d postgres -c 'CREATE DATABASE x'
#
# PostgreSQL refuses to run as root; as root the cluster belongs to, and runs as, the user "nobody".
# The server's log is DIR/server.log. Keep DIR short: the socket path must fit in 107 bytes.
set -euo pipefail
umask 077

bin=${TESSARO_PG_BIN:-/usr/lib/postgresql/15/bin}
command=${1:-}
dir=${2:-}
if [ -z "$command" ] || [ -z "$dir" ]; then
    sed -n '2,10p' "$0" >&2
    exit 2
fi
shift 2

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

print_env() {
    echo "PGHOST=$dir/socket"
    echo "PGPORT=$(cat "$dir/port")"
    echo "PGUSER=tessaro"
    echo "PGDATABASE=postgres"
    echo "TESSARO_PG_PASSWORD=$(cat "$dir/password")"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

server_start() {
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-p $(cat "$dir/port")" start >/dev/null
}

case "$command" in
start)
    if [ -f "$dir/data/PG_VERSION" ]; then
        server_start
        print_env
        exit 0
    fi
    if [ -e "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
        echo "pg-cluster.sh: $dir exists and is not empty" >&2
        exit 1
    fi
    mkdir -p "$dir/socket"
    chmod 0755 "$dir/socket"
    dir=$(cd "$dir" && pwd)
    head -c 18 /dev/urandom | base64 | tr '+/' 'xy' >"$dir/password"
    if [ "$(id -u)" -eq 0 ]; then
        chown -R nobody: "$dir"
    fi
    chmod 0700 "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U tessaro --pwfile="$dir/password" -E UTF8 --no-locale \
        --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
        {
            cat "$dir/initdb.log" >&2
            exit 1
        }
    {
        echo "listen_addresses = '127.0.0.1'"
        echo "unix_socket_directories = '$dir/socket'"
        echo "max_connections = 300"
        echo "shared_buffers = 32MB"
        for setting in "$@"; do
            echo "${setting%%=*} = '${setting#*=}'"
        done
    } >>"$dir/data/postgresql.conf"
    # A port taken between choosing and binding: try another.
    for attempt in 1 2 3; do
        free_port >"$dir/port"
        if server_start; then
            print_env
            exit 0
        fi
    done
    cat "$dir/server.log" >&2
    exit 1
    ;;
stop)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
restart)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m "${1:-fast}" -w stop >/dev/null
    server_start
    ;;
env)
    print_env
    ;;
*)
    echo "pg-cluster.sh: unknown command $command" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# A throwaway MariaDB server for the tests: its own data directory, a free loopback
# port, the schema of docs/schema.sql in the database "vexal" and a user with a
# password for 127.0.0.1.
#   mariadb-test-server.sh start DIR   starts it and writes DIR/connection (port etc.)
#   mariadb-test-server.sh stop DIR    stops it and removes DIR
set -euo pipefail
action=$1
dir=$2
root=$(cd "$(dirname "$0")/.." && pwd)

case "$action" in
start)
    rm -rf "$dir"
    mkdir -p "$dir"
    # The socket path must stay short, so the server's files live under /tmp.
    run=$(mktemp -d /tmp/vexal-mdb.XXXXXX)
    echo "$run" > "$dir/rundir"
    # --force: a minimal machine may not resolve its own host name, which the tables
    # made with --skip-name-resolve do not need.
    if ! mariadb-install-db --no-defaults --datadir="$run/data" --user=root \
        --auth-root-authentication-method=socket --skip-test-db --skip-name-resolve --force > "$run/install.log" 2>&1; then
        echo "mariadb-install-db ist fehlgeschlagen:" >&2
        tail -n 20 "$run/install.log" >&2
        exit 1
    fi
    # A free loopback port: try random ones until the server binds one and answers.
    ready=no
    for _ in $(seq 1 20); do
        port=$((20000 + RANDOM % 40000))
        rm -f "$run/pid" "$run/sock"
        mariadbd --no-defaults --user=root --datadir="$run/data" --socket="$run/sock" --port="$port" \
            --bind-address=127.0.0.1 --skip-name-resolve --pid-file="$run/pid" --log-error="$run/error.log" \
            --innodb-buffer-pool-size=64M --max-allowed-packet=64M > /dev/null 2>&1 &
        server=$!
        for _ in $(seq 1 150); do
            if mariadb --no-defaults --socket="$run/sock" -uroot -e 'SELECT 1' > /dev/null 2>&1; then
                ready=yes
                break
            fi
            kill -0 "$server" 2>/dev/null || break
            sleep 0.1
        done
        [ "$ready" = yes ] && break
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    done
    if [ "$ready" != yes ]; then
        echo "MariaDB für die Tests startet nicht:" >&2
        tail -n 20 "$run/error.log" >&2 || true
        exit 1
    fi
    mariadb --no-defaults --socket="$run/sock" -uroot <<SQL
CREATE DATABASE vexal CHARACTER SET utf8mb4;
CREATE USER 'vexal'@'127.0.0.1' IDENTIFIED BY 'kzq-test';
GRANT ALL ON vexal.* TO 'vexal'@'127.0.0.1';
SQL
    mariadb --no-defaults --socket="$run/sock" -uroot vexal < "$root/docs/schema.sql"
    printf 'host=127.0.0.1\nport=%s\nuser=vexal\npassword=kzq-test\ndatabase=vexal\nsocket=%s\n' \
        "$port" "$run/sock" > "$dir/connection"
    echo "MariaDB für die Tests auf 127.0.0.1:$port"
    ;;
stop)
    if [ -f "$dir/rundir" ]; then
        run=$(cat "$dir/rundir")
        if [ -f "$run/pid" ]; then
            pid=$(cat "$run/pid")
            kill -TERM "$pid" 2>/dev/null || true
            for _ in $(seq 1 100); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
        fi
        rm -rf "$run"
    fi
    rm -rf "$dir"
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac

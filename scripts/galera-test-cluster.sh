#!/usr/bin/env bash
# A throwaway 3-node MariaDB Galera cluster on loopback for the tests: each node with its
# own data directory, socket, SQL port and group ports, the schema of docs/schema.sql in
# the database "vexal" and a user with a password for 127.0.0.1.
#   galera-test-cluster.sh start DIR       starts the cluster, writes DIR/connection
#   galera-test-cluster.sh node-start DIR N starts node N (1-3) again after it was killed;
#                                          it rejoins the running nodes
#   galera-test-cluster.sh stop DIR        stops every node and removes DIR
#
# DIR/connection holds host=127.0.0.1, port (node 1), hosts (all three, in the form the
# export's host field takes), port1..port3, pid1..pid3 (files with the node's process id),
# socket1..socket3, user, password, database.
#
# The nodes demand a primary key of every table (wsrep_mode=REQUIRED_PRIMARY_KEY), as
# production clusters often do: docs/schema.sql must load there and the export must work.
#
# The nodes run as user mysql with their folders owned by mysql: the joiner's rsync state
# transfer drops to an unprivileged user and cannot write into a folder owned by root.
set -euo pipefail
action=$1
dir=$2
root=$(cd "$(dirname "$0")/.." && pwd)

# Group port of node N is base+10*(N-1); its incremental transfer port is one above, its
# full state transfer port two above, its SQL port three above.
group_port() { echo $(($(cat "$dir/base") + 10 * ($1 - 1))); }
sql_port() { echo $(($(group_port "$1") + 3)); }

start_node() {
    local n=$1 cluster=$2 run g
    run=$(cat "$dir/rundir")
    g=$(group_port "$n")
    rm -f "$run/n$n/pid"
    mariadbd --no-defaults --user=mysql --datadir="$run/n$n/data" --socket="$run/n$n/sock" \
        --port="$(sql_port "$n")" --bind-address=127.0.0.1 --skip-name-resolve \
        --pid-file="$run/n$n/pid" --log-error="$run/n$n/error.log" \
        --innodb-buffer-pool-size=32M --max-allowed-packet=64M \
        --binlog-format=ROW --innodb-autoinc-lock-mode=2 --wsrep-on=ON --wsrep-mode=REQUIRED_PRIMARY_KEY \
        --wsrep-provider=/usr/lib/galera/libgalera_smm.so --wsrep-cluster-name=vexal-test \
        --wsrep-cluster-address="$cluster" --wsrep-node-address="127.0.0.1:$g" \
        --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$g;ist.recv_addr=127.0.0.1:$((g + 1));gcache.size=32M" \
        --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:$((g + 2))" > /dev/null 2>&1 &
    echo $! > "$run/n$n/launcher"
}

# Waits until node N says it is Synced (a joiner first receives the state of a donor).
wait_synced() {
    local n=$1 run state
    run=$(cat "$dir/rundir")
    for _ in $(seq 1 600); do
        state=$(mariadb --no-defaults --socket="$run/n$n/sock" -uroot -N -B \
            -e "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2> /dev/null | cut -f2 || true)
        [ "$state" = Synced ] && return 0
        kill -0 "$(cat "$run/n$n/launcher")" 2> /dev/null || break
        sleep 0.1
    done
    echo "Galera-Knoten $n für die Tests wird nicht Synced:" >&2
    tail -n 20 "$run/n$n/error.log" >&2 || true
    return 1
}

all_nodes() {
    echo "gcomm://127.0.0.1:$(group_port 1),127.0.0.1:$(group_port 2),127.0.0.1:$(group_port 3)"
}

stop_all() {
    [ -f "$dir/rundir" ] || return 0
    local run pids=()
    run=$(cat "$dir/rundir")
    for n in 1 2 3; do
        if [ -f "$run/n$n/launcher" ]; then
            pid=$(cat "$run/n$n/launcher")
            kill -TERM "$pid" 2> /dev/null && pids+=("$pid")
        fi
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 150); do
            kill -0 "$pid" 2> /dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2> /dev/null || true
    done
    rm -rf "$run"
}

case "$action" in
start)
    rm -rf "$dir"
    mkdir -p "$dir"
    # The socket paths must stay short, so the nodes' files live under /tmp.
    run=$(mktemp -d /tmp/vexal-gal.XXXXXX)
    echo "$run" > "$dir/rundir"
    mkdir -p "$run/n1" "$run/n2" "$run/n3"
    chown -R mysql:mysql "$run"
    # --force: a minimal machine may not resolve its own host name. One installed data
    # directory serves all three: the joiners replace theirs by the donor's state anyway.
    if ! mariadb-install-db --no-defaults --datadir="$run/n1/data" --user=mysql \
        --auth-root-authentication-method=socket --skip-test-db --skip-name-resolve --force > "$run/install.log" 2>&1; then
        echo "mariadb-install-db ist fehlgeschlagen:" >&2
        tail -n 20 "$run/install.log" >&2
        exit 1
    fi
    cp -a "$run/n1/data" "$run/n2/data"
    cp -a "$run/n1/data" "$run/n3/data"
    # Free loopback ports: a random base, tried again when the first node cannot bind.
    started=no
    for _ in $(seq 1 10); do
        echo $((20000 + RANDOM % 40000)) > "$dir/base"
        start_node 1 gcomm://
        if wait_synced 1 2> /dev/null; then
            started=yes
            break
        fi
        kill -TERM "$(cat "$run/n1/launcher")" 2> /dev/null || true
        wait "$(cat "$run/n1/launcher")" 2> /dev/null || true
        rm -f "$run/n1/data/grastate.dat" "$run/n1/data/galera.cache"
    done
    if [ "$started" != yes ]; then
        echo "Galera-Knoten 1 für die Tests startet nicht:" >&2
        tail -n 20 "$run/n1/error.log" >&2 || true
        stop_all
        exit 1
    fi
    # One joiner at a time: a donor serves one full state transfer at once.
    for n in 2 3; do
        start_node "$n" "$(all_nodes)"
        if ! wait_synced "$n"; then
            stop_all
            exit 1
        fi
    done
    mariadb --no-defaults --socket="$run/n1/sock" -uroot <<SQL
CREATE DATABASE vexal CHARACTER SET utf8mb4;
CREATE USER 'vexal'@'127.0.0.1' IDENTIFIED BY 'kzq-test';
GRANT ALL ON vexal.* TO 'vexal'@'127.0.0.1';
SQL
    mariadb --no-defaults --socket="$run/n1/sock" -uroot vexal < "$root/docs/schema.sql"
    {
        printf 'host=127.0.0.1\nport=%s\n' "$(sql_port 1)"
        printf 'hosts=127.0.0.1:%s,127.0.0.1:%s,127.0.0.1:%s\n' "$(sql_port 1)" "$(sql_port 2)" "$(sql_port 3)"
        for n in 1 2 3; do
            printf 'port%s=%s\npid%s=%s\nsocket%s=%s\n' "$n" "$(sql_port "$n")" "$n" "$run/n$n/launcher" "$n" "$run/n$n/sock"
        done
        printf 'user=vexal\npassword=kzq-test\ndatabase=vexal\n'
    } > "$dir/connection"
    echo "Galera-Cluster für die Tests auf 127.0.0.1:$(sql_port 1),$(sql_port 2),$(sql_port 3)"
    ;;
node-start)
    n=$3
    start_node "$n" "$(all_nodes)"
    wait_synced "$n"
    ;;
stop)
    stop_all
    rm -rf "$dir"
    ;;
*)
    echo "usage: $0 start|stop DIR | node-start DIR N" >&2
    exit 2
    ;;
esac

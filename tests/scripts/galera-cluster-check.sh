#!/usr/bin/env bash
# The test cluster does what the cluster tests rely on: a row written on one node is
# read on the others, and a node killed with SIGKILL comes back through node-start with
# what was written while it was down.
#   galera-cluster-check.sh DIR   (DIR as given to galera-test-cluster.sh start)
set -euo pipefail
dir=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
value() { sed -n "s/^$1=//p" "$dir/connection"; }
sql() {
    mariadb --no-defaults --protocol=TCP -h127.0.0.1 -P"$(value "port$1")" -u"$(value user)" -p"$(value password)" \
        -N -B "$(value database)" -e "$2"
}
expect() {
    if [ "$2" != "$3" ]; then
        echo "$1: expected '$3', got '$2'" >&2
        exit 1
    fi
}

sql 1 "CREATE TABLE galera_check (id INT PRIMARY KEY, note VARCHAR(20))"
sql 1 "INSERT INTO galera_check VALUES (1, 'node 1')"
expect "written on node 1, read on node 3" "$(sql 3 'SELECT note FROM galera_check WHERE id = 1')" "node 1"

kill -KILL "$(cat "$(value pid2)")"
sleep 1
sql 3 "INSERT INTO galera_check VALUES (2, 'while 2 was down')"
"$root/scripts/galera-test-cluster.sh" node-start "$dir" 2
expect "node 2 back with what it missed" "$(sql 2 'SELECT COUNT(*) FROM galera_check')" "2"
expect "three nodes again" "$(sql 1 "SHOW STATUS LIKE 'wsrep_cluster_size'" | cut -f2)" "3"
sql 2 "DROP TABLE galera_check"
echo "Galera-Cluster: Replikation und Wiederaufnahme eines Knotens in Ordnung"

#!/bin/sh
# Sends the router's neighbour table (IPv4 and IPv6) to Vexal Capture as MAC
# announcements: one UDP datagram per neighbour, in the text form the program reads
# (field 1 the address, field 4 the MAC, field 6 the interface), every N seconds.
# POSIX sh; runs on a Linux or OpenWrt router with busybox. Needs `ip` and one of
# socat or an nc that speaks UDP (nc -u).
#
#   announce-neighbours.sh [-1] [-i SEKUNDEN] ZIEL [PORT]
set -u

usage() {
    cat <<'USAGE'
Aufruf: announce-neighbours.sh [-1] [-i SEKUNDEN] ZIEL [PORT]

Meldet jeden Eintrag der Nachbartabelle (ip neigh, IPv4 und IPv6) als
MAC-Meldung per UDP an ZIEL:PORT (Vorgabe 2056), alle SEKUNDEN Sekunden
(Vorgabe 30). Einträge ohne MAC, FAILED und INCOMPLETE werden übersprungen,
ebenso link-lokale IPv6-Adressen (fe80::).

  -1            nur einmal melden und beenden
  -i SEKUNDEN   Abstand zwischen zwei Meldungsrunden
  -h            diese Hilfe

Zum Senden wird socat oder ein nc mit UDP (nc -u) gebraucht.
USAGE
}

once=
interval=30
while getopts 1i:h option; do
    case $option in
        1) once=1 ;;
        i) interval=$OPTARG ;;
        h) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    usage >&2
    exit 2
fi
host=$1
port=${2:-2056}
case $port in
    ''|*[!0-9]*) echo "Ungültiger Port: $port" >&2; exit 2 ;;
esac
case $interval in
    ''|*[!0-9]*|0) echo "Ungültiger Abstand: $interval" >&2; exit 2 ;;
esac

# Each announcement must be a datagram of its own, so every one gets its own sender
# process. An nc that waits for replies is told to quit at the end of its input.
if command -v socat >/dev/null 2>&1; then
    sender=socat
elif command -v nc >/dev/null 2>&1 && nc -h 2>&1 | grep -q -- '-u'; then
    if nc -h 2>&1 | grep -q -- '-q'; then
        sender=nc-q
    else
        sender=nc-w
    fi
else
    echo "Weder socat noch ein nc mit UDP (nc -u) gefunden." >&2
    exit 1
fi

send() {
    case $sender in
        socat)
            case $host in
                *:*) target="[$host]" ;;
                *) target=$host ;;
            esac
            printf '%s\n' "$1" | socat -u - "UDP-SENDTO:$target:$port" ;;
        nc-q) printf '%s\n' "$1" | nc -u -q 0 "$host" "$port" ;;
        # Without -q nc lingers for replies; in the background the round need not wait.
        nc-w) printf '%s\n' "$1" | nc -u -w 1 "$host" "$port" & ;;
    esac
}

announce_round() {
    # Lines look like: 192.168.1.23 dev br-lan lladdr 02:1a:2b:3c:4d:5e REACHABLE
    # (iproute2 and busybox may add "router", "used ..." or "probes ..." before the state).
    ip neigh show | {
        while read -r line; do
            set -f
            # shellcheck disable=SC2086
            set -- $line
            set +f
            [ $# -ge 1 ] || continue
            address=$1
            device=
            mac=
            state=
            while [ $# -gt 0 ]; do
                case $1 in
                    dev) [ $# -ge 2 ] && device=$2 ;;
                    lladdr) [ $# -ge 2 ] && mac=$2 ;;
                esac
                state=$1
                shift
            done
            case $state in FAILED|INCOMPLETE) continue ;; esac
            case $address in fe80:*|FE80:*) continue ;; esac
            [ -n "$mac" ] && [ -n "$device" ] || continue
            send "f0 $address f2 f3 $mac f5 $device"
        done
        # Background senders belong to this part of the pipeline; the round ends with them.
        wait
    }
}

while :; do
    announce_round
    [ -n "$once" ] && break
    sleep "$interval"
done

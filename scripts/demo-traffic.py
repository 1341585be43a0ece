#!/usr/bin/env python3
"""Sends a little live traffic to a running Vexal Capture on this machine: MAC
announcements for a few clients, then NetFlow v5 datagrams between them and the
internet, as one or more routers (loopback sender addresses 127.0.0.1, .2, ...).
demo-traffic.py [seconds] [routers]. Used for screenshots and to try the program
without a router."""
import random
import socket
import struct
import sys
import time

host = "127.0.0.1"
seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
router_count = int(sys.argv[2]) if len(sys.argv) > 2 else 1
clients = [("192.168.1.%d" % i, "02:1a:2b:3c:4d:%02x" % i, "eth1" if i % 3 else "wlan0") for i in range(10, 30)]
remotes = ["93.184.216.%d" % i for i in range(1, 40)]
ports = [80, 443, 53, 993, 22, 8080, 5222, 3478, 123, 587, 1194, 3389, 8443, 51820]

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
routers = []
for r in range(router_count):
    router = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    router.bind(("127.0.0.%d" % (r + 1), 0))
    routers.append(router)
for ip, mac, dev in clients:
    sock.sendto(("f0 %s f2 f3 %s f5 %s\n" % (ip, mac, dev)).encode(), (host, 2056))

sequence = [1000] * router_count
turn = 0
end = time.time() + seconds
rnd = random.Random(7)
while time.time() < end:
    records = b""
    for _ in range(30):
        client = rnd.choice(clients[: rnd.randint(4, len(clients))])[0]
        remote = rnd.choice(remotes)
        port = rnd.choice(ports)
        octets = int(rnd.paretovariate(1.2) * 4000)
        c = bytes(int(x) for x in client.split("."))
        r = bytes(int(x) for x in remote.split("."))
        if rnd.random() < 0.3:
            src, dst, sport, dport = c, r, rnd.randint(40000, 60000), port
        else:
            src, dst, sport, dport = r, c, port, rnd.randint(40000, 60000)
        records += src + dst + bytes(12) + struct.pack(">I", octets) + bytes(8) + struct.pack(">HH", sport, dport) + bytes(12)
    r = turn % router_count
    turn += 1
    header = struct.pack(">HHIIIIBBH", 5, 30, 0, int(time.time()), 0, sequence[r], 0, 0, 0)
    routers[r].sendto(header + records, (host, 2055))
    sequence[r] += 30
    time.sleep(0.02)

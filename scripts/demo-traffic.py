#!/usr/bin/env python3
"""Sends a little live traffic to a running Vexal Capture on this machine: MAC
announcements for a few clients, then NetFlow v5 datagrams between them and the
internet. Used for screenshots and to try the program without a router."""
import random
import socket
import struct
import sys
import time

host = "127.0.0.1"
seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
clients = [("192.168.1.%d" % i, "02:1a:2b:3c:4d:%02x" % i, "eth1" if i % 3 else "wlan0") for i in range(10, 26)]
remotes = ["93.184.216.%d" % i for i in range(1, 40)]
ports = [80, 443, 53, 993, 22, 8080, 5222, 3478]

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for ip, mac, dev in clients:
    sock.sendto(("f0 %s f2 f3 %s f5 %s\n" % (ip, mac, dev)).encode(), (host, 2056))

sequence = 1000
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
    header = struct.pack(">HHIIIIBBH", 5, 30, 0, int(time.time()), 0, sequence, 0, 0, 0)
    sock.sendto(header + records, (host, 2055))
    sequence += 30
    time.sleep(0.02)

#!/usr/bin/env python3
"""Opens N keep-alive connections through a proxy, makes one request on each,
then holds them idle and prints the proxy's resident memory.
Usage: idle_clients.py <proxy port> <origin url> <proxy pid> <count>"""
import socket
import sys
import time

port, url, pid, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
host = url.split("/")[2]


def rss_kib(p):
    with open(f"/proc/{p}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


before = rss_kib(pid)
clients = []
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET {url} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    clients.append(s)
for s in clients:
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
time.sleep(1)
after = rss_kib(pid)
print(f"{count} idle connections: RSS {before / 1024:.1f} MiB before, {after / 1024:.1f} MiB with them open")
for s in clients:
    s.close()

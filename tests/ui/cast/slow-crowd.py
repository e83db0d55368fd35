#!/usr/bin/env python3
"""A slow-loris crowd against the cast media server, in a process of its own so that only the server's
descriptors count against the test's limit.

Usage: slow-crowd.py HOST PORT PATH COUNT SOURCE_ADDRESS...

COUNT connections, spread evenly over the source addresses (all in 127.0.0.0/8), each sending its request
head one byte a second, so that none ever completes it; a connection the server cuts is opened again a
quarter of a second later. Prints "ready" once every connection has been opened once, then, when stdin
closes, one line "opened cut" and ends.
"""
import selectors
import socket
import sys
import time

host, port, path, count = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
sources = sys.argv[5:]
head = ("GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: slow\r\n\r\n" % (path, host)).encode()

sel = selectors.DefaultSelector()
sel.register(sys.stdin, selectors.EVENT_READ, None)
peers = [{"source": sources[i % len(sources)], "sock": None, "sent": 0, "due": 0.0} for i in range(count)]
opened = 0
cut = 0
ready = False


def open_peer(peer, now):
    global opened
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setblocking(False)
    s.bind((peer["source"], 0))
    s.connect_ex((host, port))
    peer.update(sock=s, sent=0, due=now + 1.0, connected=False)
    sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, peer)
    opened += 1


def drop(peer, now):
    global cut
    cut += 1
    sel.unregister(peer["sock"])
    peer["sock"].close()
    peer.update(sock=None, due=now + 0.25)


now = time.monotonic()
for peer in peers:
    open_peer(peer, now)

running = True
while running:
    now = time.monotonic()
    if not ready and opened >= count:
        print("ready", flush=True)
        ready = True
    timeout = max(0.0, min(p["due"] for p in peers) - now)
    for key, mask in sel.select(min(timeout, 0.1)):
        peer = key.data
        if peer is None:
            if not sys.stdin.buffer.read1(4096):
                running = False
            continue
        if mask & selectors.EVENT_WRITE and not peer["connected"]:
            if peer["sock"].getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                drop(peer, now)
                continue
            peer["connected"] = True
            sel.modify(peer["sock"], selectors.EVENT_READ, peer)
        if mask & selectors.EVENT_READ:
            try:
                data = peer["sock"].recv(4096)
            except OSError:
                data = b""
            if not data:
                drop(peer, now)
    now = time.monotonic()
    for peer in peers:
        if peer["due"] > now:
            continue
        if peer["sock"] is None:
            open_peer(peer, now)
        elif peer["connected"] and peer["sent"] < len(head) - 1:
            try:
                peer["sock"].send(head[peer["sent"]:peer["sent"] + 1])
                peer["sent"] += 1
            except OSError:
                drop(peer, now)
                continue
            peer["due"] = now + 1.0
        else:
            peer["due"] = now + 1.0

print(opened, cut, flush=True)

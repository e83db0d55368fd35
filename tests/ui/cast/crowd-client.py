#!/usr/bin/env python3
"""A crowd of peers against the cast media server, run in a process of its own so that only the server's
descriptors count against the test's limit.

Usage: crowd-client.py HOST PORT PATH COUNT HEAD_TIMEOUT_MS

Peer i does, by i % 4: 0 and 2, send a head and read 1 KiB a second; 1, send half a head and never finish it;
3, send a head and leave. Once every peer has settled, one line goes to stdout:
  connected failed reading cutAtOnce unfinishedAtTimeout unfinishedOther
and the readers go on reading until the process is killed or stdin closes.
"""
import selectors
import socket
import sys
import time

host, port, path, count, timeout_ms = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
timeout = timeout_ms / 1000.0
head = ("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (path, host)).encode()

sel = selectors.DefaultSelector()
peers = []
for i in range(count):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setblocking(False)
    s.connect_ex((host, port))
    peer = {"sock": s, "kind": ("read", "unfinished", "read", "leave")[i % 4], "state": "connecting",
            "connected_at": None, "received": 0, "closed_after": None}
    peers.append(peer)
    sel.register(s, selectors.EVENT_WRITE, peer)

stdin_open = True
sel.register(sys.stdin, selectors.EVENT_READ, None)

started = time.monotonic()
deadline = started + 3 * timeout + 60
reported = False
next_read = {}


def close(peer, now):
    if peer["state"] != "closed":
        peer["closed_after"] = now - (peer["connected_at"] or now)
        peer["state"] = "closed"
        try:
            sel.unregister(peer["sock"])
        except (KeyError, ValueError):
            pass
        peer["sock"].close()


def settled(peer):
    if peer["kind"] == "leave":
        return peer["state"] != "connecting"
    if peer["kind"] == "read":
        return peer["state"] == "closed" or peer["received"] > 0
    return peer["state"] == "closed"


def report():
    connected = sum(1 for p in peers if p["connected_at"] is not None)
    failed = sum(1 for p in peers if p["state"] == "failed")
    reading = sum(1 for p in peers if p["kind"] == "read" and p["received"] > 0 and p["state"] != "closed")
    at_once = sum(1 for p in peers if p["kind"] != "leave" and p["received"] == 0 and p["closed_after"] is not None
                  and p["closed_after"] < timeout / 2)
    at_timeout = sum(1 for p in peers if p["kind"] == "unfinished" and p["closed_after"] is not None
                     and p["received"] == 0 and timeout * 0.8 <= p["closed_after"] <= timeout * 3 + 10)
    # A handshake the server's full backlog dropped completes for the client before the server accepts it, so
    # from here a cut may look later than it was: only a peer left open, or one that got bytes, is out of place.
    unfinished_other = sum(1 for p in peers if p["kind"] == "unfinished" and not (
        p["closed_after"] is not None and p["received"] == 0 and p["closed_after"] <= timeout * 3 + 10))
    print(connected, failed, reading, at_once, at_timeout, unfinished_other, flush=True)


while stdin_open:
    now = time.monotonic()
    if not reported and (all(settled(p) for p in peers) or now > deadline):
        report()
        reported = True
    waits = [t - now for t in next_read.values()]
    events = sel.select(max(0.0, min(waits + [0.2])))
    now = time.monotonic()
    for key, mask in events:
        peer = key.data
        if peer is None:
            if not sys.stdin.buffer.read1(4096):
                stdin_open = False
            continue
        s = peer["sock"]
        if peer["state"] == "connecting":
            error = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if error:
                peer["state"] = "failed"
                sel.unregister(s)
                s.close()
                continue
            peer["connected_at"] = now
            try:
                if peer["kind"] == "unfinished":
                    s.send(head[:len(head) // 2])
                else:
                    s.send(head)
            except OSError:
                close(peer, now)
                continue
            if peer["kind"] == "leave":
                peer["state"] = "left"
                sel.unregister(s)
                s.close()
                continue
            peer["state"] = "open"
            sel.modify(s, selectors.EVENT_READ, peer)
            continue
        if peer["kind"] == "read" and peer["received"] > 0:
            # Reading slowly: the data waits in the kernel until its second comes.
            sel.unregister(s)
            next_read[id(peer)] = now + 1.0
            continue
        try:
            data = s.recv(1024)
        except OSError:
            data = b""
        if not data:
            close(peer, now)
            continue
        peer["received"] += len(data)
    for peer in peers:
        due = next_read.get(id(peer))
        if due is not None and due <= now and peer["state"] == "open":
            del next_read[id(peer)]
            try:
                data = peer["sock"].recv(1024)
            except BlockingIOError:
                data = None
            except OSError:
                data = b""
            if data == b"":
                close(peer, now)
            else:
                if data:
                    peer["received"] += len(data)
                next_read[id(peer)] = now + 1.0

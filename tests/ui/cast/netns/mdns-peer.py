# The mDNS peer of the discovery tests, run in the peer's network namespace. python3-zeroconf announces a
# Cast v2 receiver; an AirPlay receiver whose instance label holds a dot ("Mr. Smith's TV") is answered by a few
# hand-written lines instead, because zeroconf splits every name at its dots and would send that label as two.
# Prints "ready" once both answer.
import os
import signal
import socket
import struct
import sys
import threading

from zeroconf import IPVersion, ServiceInfo, Zeroconf

address = os.environ.get("KVR_NETNS_PEER", "10.201.0.2")
packed = socket.inet_aton(address)
GROUP = "224.0.0.251"

zc = Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)
zc.register_service(
    ServiceInfo(
        "_googlecast._tcp.local.",
        "Kestrune-Cast-7f3a._googlecast._tcp.local.",
        addresses=[packed],
        port=8009,
        properties={"id": "7f3a9c2e51b04d6a", "fn": "Den Speaker", "md": "Chromecast Audio", "ve": "05"},
        server="kvr-cast-7f3a.local.",
    )
)


def name(*labels):
    return b"".join(bytes([len(l)]) + l for l in labels) + b"\0"


def record(owner, rtype, ttl, data):
    # Class IN; every record but the shared PTR sets the cache-flush bit, as responders do.
    return owner + struct.pack(">HHIH", rtype, 1 if rtype == 12 else 0x8001, ttl, len(data)) + data


SERVICE = (b"_airplay", b"_tcp", b"local")
INSTANCE = ("Mr. Smith's TV".encode(),) + SERVICE
HOST = (b"kvr-tv", b"local")
TXT = b"".join(bytes([len(s)]) + s for s in (b"deviceid=AA:BB:CC:DD:EE:01", b"model=AppleTV3,2"))


def answer(query_id):
    records = [
        record(name(*SERVICE), 12, 4500, name(*INSTANCE)),
        record(name(*INSTANCE), 33, 120, struct.pack(">HHH", 0, 0, 7000) + name(*HOST)),
        record(name(*INSTANCE), 16, 4500, TXT),
        record(name(*HOST), 1, 120, packed),
    ]
    return struct.pack(">HHHHHH", query_id, 0x8400, 0, 1, 0, 3) + b"".join(records)


def asks_for_airplay(data):
    # Our queries are uncompressed: a plain walk of the questions is enough.
    count = struct.unpack(">H", data[4:6])[0]
    at = 12
    for _ in range(count):
        labels = []
        while at < len(data) and data[at] != 0:
            if data[at] >= 192:
                return False
            labels.append(data[at + 1 : at + 1 + data[at]].lower())
            at += 1 + data[at]
        at += 5
        if tuple(labels[-3:]) == SERVICE:
            return True
    return False


airplay = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
airplay.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
airplay.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
airplay.bind(("", 5353))
airplay.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + packed)


def serve():
    while True:
        data, sender = airplay.recvfrom(9000)
        # Only a querier's own port gets the unicast answer; zeroconf's announcements come from 5353.
        if len(data) >= 12 and sender[1] != 5353 and not data[2] & 0x80 and asks_for_airplay(data):
            airplay.sendto(answer(struct.unpack(">H", data[:2])[0]), sender)


threading.Thread(target=serve, daemon=True).start()
print("ready", flush=True)

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
try:
    signal.pause()
finally:
    zc.close()

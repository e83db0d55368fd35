# Records every mDNS query that reaches the peer's namespace, one line each in $KVR_NETNS_DIR/queries.log:
# the sender, the datagram's length and its bytes in hexadecimal. Prints "ready" once it has joined the group.
import os
import signal
import socket
import sys

address = os.environ.get("KVR_NETNS_PEER", "10.201.0.2")
log_path = os.path.join(os.environ["KVR_NETNS_DIR"], "queries.log")

listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("", 5353))
listener.setsockopt(
    socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton("224.0.0.251") + socket.inet_aton(address)
)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
print("ready", flush=True)

with open(log_path, "a", buffering=1) as log:
    while True:
        data, sender = listener.recvfrom(65536)
        log.write(f"{sender[0]}:{sender[1]} {len(data)} {data.hex()}\n")

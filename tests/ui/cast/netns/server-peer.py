# The receiver side of the media server's namespace test. Gives this namespace's veth a second address,
# 203.0.113.2/24, outside every local network, then takes commands from the test on 10.201.0.2:7301, one line
# each, answering one line:
#   connect ID SOURCE HOST PORT  -> "connected ID" or "failed ID <reason>"; the client is bound to SOURCE
#   state ID                     -> "open", "closed N" or "reset N" (N: bytes received from the server)
# Prints "ready" once it listens.
import os
import signal
import socket
import subprocess
import sys

subprocess.run(["ip", "addr", "add", "203.0.113.2/24", "dev", "kvr-veth-b"], check=True)

address = os.environ.get("KVR_NETNS_PEER", "10.201.0.2")
control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
control.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
control.bind((address, 7301))
control.listen(4)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
print("ready", flush=True)

clients = {}
received = {}


def state(name):
    client = clients[name]
    client.setblocking(False)
    try:
        while True:
            data = client.recv(65536)
            if not data:
                return f"closed {received[name]}"
            received[name] += len(data)
    except BlockingIOError:
        return "open"
    except ConnectionResetError:
        return f"reset {received[name]}"


def answer(line):
    words = line.split()
    if len(words) == 5 and words[0] == "connect":
        _, name, source, host, port = words
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.settimeout(10)
        try:
            client.bind((source, 0))
            client.connect((host, int(port)))
        except OSError as error:
            client.close()
            return f"failed {name} {error}"
        clients[name] = client
        received[name] = 0
        return f"connected {name}"
    if len(words) == 2 and words[0] == "state" and words[1] in clients:
        return state(words[1])
    return "unknown"


while True:
    connection, _ = control.accept()
    with connection, connection.makefile("rw", buffering=1) as stream:
        for line in stream:
            stream.write(answer(line) + "\n")
            stream.flush()

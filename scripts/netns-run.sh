#!/usr/bin/env bash
# Runs a test inside a private pair of network namespaces, so that what it sends (multicast discovery, real
# peers) never reaches this machine's own interfaces.
#
#   netns-run.sh [--peer 'command line'] [--ready TEXT] -- test-command [arguments...]
#
# Namespace A (the test) holds 10.201.0.1/24, namespace B (the peer) 10.201.0.2/24, joined by a veth pair
# made directly inside them; both have lo up. The peer command runs in B under bash; the test starts once the
# peer has printed a line holding TEXT (default "ready"). The test runs in A with
#   KESTRUNE_CAST_DISCOVERY=on  KVR_NETNS_PEER=10.201.0.2  KVR_NETNS_SELF=10.201.0.1
#   KVR_NETNS_DIR=<a directory for this run, shared with the peer>  QT_QPA_PLATFORM=offscreen
# and its exit status is the script's. Where namespaces cannot be made (not root, no CAP_NET_ADMIN, a container
# that forbids them, no ip), the script says why and exits 77, which ctest counts as a skip.
set -uo pipefail

peer=""
ready="ready"
while [ $# -gt 0 ]; do
  case "$1" in
    --peer) peer=$2; shift 2 ;;
    --ready) ready=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "usage: netns-run.sh [--peer 'command'] [--ready TEXT] -- command [arguments...]" >&2
  exit 2
fi

ns_a="kvr-$$-a"
ns_b="kvr-$$-b"
run_dir=""
peer_pid=""
made=()

cleanup() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null
    for _ in $(seq 40); do kill -0 "$peer_pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
  fi
  local ns
  for ns in "${made[@]}"; do ip netns delete "$ns" 2>/dev/null; done
  [ -n "$run_dir" ] && [ -z "${KVR_KEEP_SCRATCH:-}" ] && rm -rf "$run_dir"
}
trap cleanup EXIT

skip() {
  echo "skipped: cannot create a network namespace ($1)"
  exit 77
}

command -v ip >/dev/null 2>&1 || skip "no ip command"
# A step of the set-up that fails says what the system answered.
try() {
  local out
  if ! out=$("$@" 2>&1); then
    skip "${*}: ${out:-failed}"
  fi
}
try ip netns add "$ns_a"
made+=("$ns_a")
try ip netns add "$ns_b"
made+=("$ns_b")
try ip link add kvr-veth-a netns "$ns_a" type veth peer name kvr-veth-b netns "$ns_b"
try ip -n "$ns_a" addr add 10.201.0.1/24 dev kvr-veth-a
try ip -n "$ns_b" addr add 10.201.0.2/24 dev kvr-veth-b
for ns in "$ns_a" "$ns_b"; do try ip -n "$ns" link set lo up; done
try ip -n "$ns_a" link set kvr-veth-a up
try ip -n "$ns_b" link set kvr-veth-b up

# The test may send to every interface it sees: those must be the loopback and the veth, nothing else.
links=$(ip -n "$ns_a" -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }' | sort | tr '\n' ' ')
if [ "$links" != "kvr-veth-a lo " ]; then
  echo "netns-run: namespace $ns_a lists unexpected interfaces: $links" >&2
  exit 1
fi

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/kvr-netns-XXXXXX")
chmod 755 "$run_dir"
export KVR_NETNS_DIR=$run_dir KVR_NETNS_PEER=10.201.0.2 KVR_NETNS_SELF=10.201.0.1

if [ -n "$peer" ]; then
  ip netns exec "$ns_b" bash -c "exec $peer" >"$run_dir/peer.out" 2>&1 &
  peer_pid=$!
  # A generous deadline: a busy machine may take seconds to start an interpreter.
  for _ in $(seq 600); do
    grep -q -- "$ready" "$run_dir/peer.out" 2>/dev/null && break
    if ! kill -0 "$peer_pid" 2>/dev/null; then
      echo "netns-run: the peer ended before it was ready:" >&2
      cat "$run_dir/peer.out" >&2
      exit 1
    fi
    sleep 0.05
  done
  if ! grep -q -- "$ready" "$run_dir/peer.out" 2>/dev/null; then
    echo "netns-run: the peer printed no \"$ready\" line within 30 s:" >&2
    cat "$run_dir/peer.out" >&2
    exit 1
  fi
fi

ip netns exec "$ns_a" env KESTRUNE_CAST_DISCOVERY=on QT_QPA_PLATFORM=offscreen "$@"
status=$?
if [ "$status" -ne 0 ] && [ -n "$peer" ]; then
  echo "netns-run: peer output:" >&2
  cat "$run_dir/peer.out" >&2
fi
exit "$status"

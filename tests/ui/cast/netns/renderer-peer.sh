# The DLNA peer of the discovery tests, run in the peer's network namespace: gmediarender on the veth, with a
# fresh UUID written to $KVR_NETNS_DIR/renderer-uuid and output into fake sinks (the namespace has no sound).
# Prints "ready" once the renderer says it is.
set -u
dir=${KVR_NETNS_DIR:?}
uuid=$(cat /proc/sys/kernel/random/uuid)
log=$dir/gmediarender.log
printf '%s\n' "$uuid" >"$dir/renderer-uuid"
: >"$log"

gmediarender -I kvr-veth-b -f KvrTest -u "$uuid" -p 49494 \
  --gstout-audiopipe='fakesink sync=true' --gstout-videopipe='fakesink sync=true' --logfile="$log" &
renderer=$!
# The harness ends this script; the renderer goes with it.
trap 'kill "$renderer" 2>/dev/null; wait "$renderer"; exit 0' TERM INT EXIT

for _ in $(seq 600); do
  if grep -q "Ready for rendering." "$log"; then
    echo ready
    break
  fi
  kill -0 "$renderer" 2>/dev/null || { echo "gmediarender ended:"; cat "$log"; exit 1; }
  sleep 0.05
done
wait "$renderer"

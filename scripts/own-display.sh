#!/usr/bin/env bash
# Runs a command on an X display of its own (a private Xvfb that ends with it). Window tests that need the
# keyboard focus or an active window run this way, so parallel test processes never take it from each other.
#   own-display.sh <command> [<argument>...]
set -uo pipefail
dir=$(mktemp -d "${TMPDIR:-/tmp}/kvr-display-XXXXXX")
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset +extension GLX 3>"$dir/display" \
  >"$dir/xvfb.log" 2>&1 &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
# A loaded machine with many displays open can take Xvfb well over ten seconds to find a free number: wait while
# it lives, up to a minute.
for _ in $(seq 600); do
  [ -s "$dir/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$dir/display" ]; then
  echo "own-display: Xvfb did not start:" >&2
  cat "$dir/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n1 "$dir/display")"
export LIBGL_ALWAYS_SOFTWARE=1
"$@"

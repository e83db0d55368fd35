#!/usr/bin/env bash
# Installs what is missing, builds, and starts the player with the given arguments.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
if [ -x "$build/app/kestrune" ]; then
  exec "$build/app/kestrune" "$@"
fi
echo "run: the build produced no player ($build/app/kestrune)" >&2
exit 1

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
echo "run: built the engine library and its tests in $build; the player application is not part of this build yet"

#!/usr/bin/env bash
# Configures and builds into build/ (or $KVR_BUILD_DIR) with Ninja and ccache; KVR_BUILD_TARGETS (names separated
# by spaces) builds only those targets and what they need.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_BUILD_DIR:-$root/build}
jobs=${KVR_JOBS:-$(nproc)}
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
# Hash paths relative to the checkout, so a fresh clone in another folder (as CI makes) reuses the cache.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${KVR_BUILD_TYPE:-RelWithDebInfo} ${KVR_CMAKE_ARGS:-}
fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" ${KVR_BUILD_TARGETS:+--target $KVR_BUILD_TARGETS}

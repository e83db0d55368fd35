#!/usr/bin/env bash
# Installs what is missing, builds, starts the test services and runs every test.
# Extra arguments go to ctest (for example: -R Demuxer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_BUILD_DIR:-$root/build}
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"

source "$root/scripts/test-services.sh"
trap kvr_services_stop EXIT
kvr_services_start

# No test sends multicast on this machine's interfaces: receiver discovery stays off except inside the network
# namespaces scripts/netns-run.sh makes.
export KESTRUNE_CAST_DISCOVERY=off

cd "$build"
ctest --output-on-failure -j "${KVR_TEST_JOBS:-$(nproc)}" --timeout 300 "$@"

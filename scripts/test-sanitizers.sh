#!/usr/bin/env bash
# Builds and runs the tests under the sanitizers, each in a build tree of its own:
#   build-asan/  AddressSanitizer and UndefinedBehaviorSanitizer, every test;
#   build-tsan/  ThreadSanitizer, the engine, cast, conversion queue and library suites.
# Extra arguments go to ctest in every run (for example: -R Transcoder). KVR_SANITIZERS="address" or "thread"
# runs one of the two; KVR_ASAN_BUILD_DIR and KVR_TSAN_BUILD_DIR move the build trees, KVR_CMAKE_ARGS adds to
# both configurations. Exits non-zero when any run failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitizers=${KVR_SANITIZERS:-address thread}
extra_cmake_args=${KVR_CMAKE_ARGS:-}
status=0

bash "$root/scripts/setup.sh"

# (Re)configures a tree with the given sanitizer; build.sh configures only trees that have never been.
configure() {
  local build=$1 sanitize=$2
  # shellcheck disable=SC2086
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${KVR_BUILD_TYPE:-RelWithDebInfo} \
    -DKVR_SANITIZE="$sanitize" -DKVR_BUILD_BENCH=OFF $extra_cmake_args >/dev/null
}

for sanitizer in $sanitizers; do
  case $sanitizer in
    address)
      build=${KVR_ASAN_BUILD_DIR:-$root/build-asan}
      configure "$build" address,undefined
      # Undefined behaviour fails the test that met it, with the stack of where.
      export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
      export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_stack_use_after_return=1:strict_init_order=1}
      KVR_BUILD_DIR=$build bash "$root/scripts/test.sh" "$@" || status=1
      unset UBSAN_OPTIONS ASAN_OPTIONS
      ;;
    thread)
      build=${KVR_TSAN_BUILD_DIR:-$root/build-tsan}
      configure "$build" thread
      # The suites whose threads are ours: the engine, casting and the library (by label), and the conversion
      # queue (its cases in the ui tests). The suppressions reach every test through CTest
      # (cmake/KvrTargets.cmake).
      export KVR_BUILD_DIR=$build
      export KVR_BUILD_TARGETS="kvr_engine_tests kvr_engine_internal_tests kvr_cast_tests kvr_library_tests kvr_ui_tests"
      # Left out here only: MPEG-2's slice threads hand the rows they decoded back through atomics, in FFmpeg
      # functions that Debian's libavcodec carries no symbols for, so no suppression can name them.
      bash "$root/scripts/test.sh" -L 'engine|cast|library' -E '^TranscoderInputs\.DvdProgrammeStreamStartsAtZero$' \
        "$@" || status=1
      bash "$root/scripts/test.sh" -R '^TranscodeQueue' "$@" || status=1
      unset KVR_BUILD_DIR KVR_BUILD_TARGETS
      ;;
    *)
      echo "test-sanitizers: unknown sanitizer '$sanitizer' (address or thread)" >&2
      exit 2
      ;;
  esac
done
exit $status

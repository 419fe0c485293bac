#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the whole suite; any report fails a test (the child
# processes exit non-zero and their output is compared exactly).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=build-asan BUILD_TYPE=Debug CMAKE_ARGS=-DTARVO_SANITIZE=ON scripts/setup.sh --tests
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=86
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"

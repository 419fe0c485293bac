#!/usr/bin/env bash
# Sets up (with what the tests need), builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"

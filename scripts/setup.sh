#!/usr/bin/env bash
# Installs the Debian packages that building and running need (as root, or
# through sudo when not root), then configures and builds into build/.
#   scripts/setup.sh           the client, tarvo-test and the local fake service
#   scripts/setup.sh --tests   also what only the tests use, and the tests
# Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config flex bison libcurl4-openssl-dev libedit-dev
          nlohmann-json3-dev zlib1g-dev libssl-dev libcpp-httplib-dev)
tests=OFF
if [ "${1:-}" = --tests ]; then
  tests=ON
  packages+=(libgtest-dev libgmock-dev tmux python3 valgrind clang libclang-rt-14-dev
             liblinear-tools python3-statsmodels python3-vega-datasets dataset-fashion-mnist)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DTARVO_TESTS=$tests \
  ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$(nproc)"

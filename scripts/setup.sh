#!/usr/bin/env bash
# Installs every Debian package the build and the tests need (as root, or
# through sudo), then configures and builds into build/. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config flex bison libcurl4-openssl-dev libedit-dev
          nlohmann-json3-dev zlib1g-dev libssl-dev libgtest-dev libgmock-dev
          libcpp-httplib-dev tmux python3 pigz time valgrind
          clang libclang-rt-14-dev
          liblinear-tools python3-statsmodels python3-vega-datasets dataset-fashion-mnist)
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
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$(nproc)"

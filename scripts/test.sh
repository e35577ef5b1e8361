#!/usr/bin/env bash
# Builds everything and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kivo_need_packages "${KIVO_BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja -DKIVO_WERROR="${KIVO_WERROR:-OFF}" >/dev/null
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"

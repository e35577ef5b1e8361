#!/usr/bin/env bash
# Builds everything and runs all tests. The tests run with a fresh
# pseudo-terminal as their standard input (tools/pty_stdin.cpp), never the
# terminal this script was started from: no test can wait for a key there,
# a person at a terminal and CI get the same run, and the run fails when a
# test leaves that terminal's modes changed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kivo_need_packages "${KIVO_BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja -DKIVO_WERROR="${KIVO_WERROR:-OFF}" >/dev/null
cmake --build build -j "$(nproc)"
build/tools/pty_stdin ctest --test-dir build --output-on-failure -j "$(nproc)"

#!/usr/bin/env bash
# Builds the engine and its default installation (build/data, where the
# engine looks beside its program unless KIVOPATH says otherwise) and starts
# the engine on this terminal. Its arguments go to the engine: -k defines
# this terminal's keys, -u prints the usage text.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kivo_need_packages cmake ninja-build g++ libncurses-dev
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kivo default_installation
exec ./build/kivo "$@"

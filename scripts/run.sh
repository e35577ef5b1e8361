#!/usr/bin/env bash
# Builds the engine and runs its main job on the default installation.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kivo
./build/kivo -u || true

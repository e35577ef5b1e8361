#!/usr/bin/env bash
# Builds the engine, its default installation and the test listener, copies
# the installation into a scratch directory and starts the demonstration
# application there on this terminal (kivo -d=DEM, whose first screen is
# "DEM MENU"); ends with the engine's exit status.
#
# KIVO_RUN_DIR names the directory to run in instead of a scratch one: it is
# kept afterwards, and used as it is when it already holds an installation,
# so a second run finds the records of the first. KIVO_BUILD_DIR names the
# build directory (default: build). Further arguments go to the engine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kivo_need_packages cmake ninja-build g++ libncurses-dev
build="${KIVO_BUILD_DIR:-build}"
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
# The test listener too: the README's remote sessions start with it.
cmake --build "$build" -j "$(nproc)" --target kivo default_installation kivo_listen >&2

run_dir="${KIVO_RUN_DIR:-}"
scratch=""
if [ -z "$run_dir" ]; then
  scratch="$(mktemp -d "${TMPDIR:-/tmp}/kivo-run.XXXXXX")"
  run_dir="$scratch"
fi
mkdir -p "$run_dir"
run_dir="$(cd "$run_dir" && pwd)"
# An installation holds the runtime's dictionary; anything else gets a fresh
# copy of the installation as built, whatever was run in build/data since.
if [ ! -f "$run_dir/00/0LA/Data/FILE.dat" ]; then
  cp -R "$build/shipped_data/." "$run_dir/"
fi

kivo="$(cd "$build" && pwd)/kivo"
status=0
(cd "$run_dir" && KIVOPATH="$run_dir" KIVO_0SA_PATH="$run_dir" "$kivo" -d=DEM "$@") || status=$?
if [ -n "$scratch" ]; then rm -rf "$scratch"; fi
exit "$status"

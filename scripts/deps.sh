#!/usr/bin/env bash
# Installs with apt-get whatever this machine lacks of the packages named as
# arguments (nothing when all are there). Sourced by the build scripts.
kivo_need_packages() {
  local need=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "installing: ${need[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
}

# What a build of the engine and its tests and benchmarks needs.
KIVO_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev
                     tmux libsqlite3-dev sqlite3 libgmp-dev)

#!/usr/bin/env bash
# Builds the engine and runs its native-file utilities on a sample: the
# customer file under share/ is imported into a native data file in a
# scratch directory, verified, and exported again; the export must equal the
# sample byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
kivo_need_packages cmake ninja-build g++ libncurses-dev
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target kivo

sample=share/customers.flat
work=$(mktemp -d "${TMPDIR:-/tmp}/kivo_run_XXXXXX")
trap 'rm -rf "$work"' EXIT
kivo=./build/kivo

echo "== import: $sample ($(wc -l <"$sample") lines) into $work/customers.dat"
cp "$sample" "$work/customers"
"$kivo" -i="$work/customers"
rm "$work/customers"
echo "   data file: $(stat -c %s "$work/customers.dat") bytes"

echo "== verify: $work/customers.dat"
# The verification's exit status is its verdict: 1 good, 0 bad.
set +e
"$kivo" -v="$work/customers.dat"
verdict=$?
set -e
if [ "$verdict" -ne 1 ]; then
  echo "   verification failed" >&2
  exit 1
fi
echo "   good"

echo "== export: $work/customers.dat to $work/customers"
"$kivo" -e="$work/customers.dat"
if cmp -s "$sample" "$work/customers"; then
  echo "   the export equals $sample byte for byte"
else
  echo "   the export differs from $sample" >&2
  exit 1
fi

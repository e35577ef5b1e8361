#!/bin/sh
# Builds and runs the number-conversion benchmark and its COBOL twin.
#
#   bench/run_num_bench.sh [build dir]
#
# 1. Builds num_bench (Release) and compiles num_edit.cob with cobc -O2.
# 2. Runs num_bench: ns per value shown or read through "-999,999,999.99",
#    best of five repetitions.
# 3. Times each COBOL mode over 1,000,000 moves as a whole process, best of
#    five, less the bare loop, and prints ns per move and the ratio
#    COBOL / kivo for each of the four moves.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}

command -v cobc >/dev/null || { echo "cobc (GnuCOBOL) not found" >&2; exit 1; }

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BENCH=ON >/dev/null
ninja -C "$build" -j4 bench/num_bench >/dev/null
cobc -x -O2 -o "$build/num_edit" "$src/bench/num_edit.cob"

echo "== kivo: one value an item"
"$build/bench/num_bench" --benchmark_min_time=0.3 --benchmark_repetitions=5 --benchmark_format=csv \
  2>/dev/null >"$build/num_bench.csv"
# ns per item (cpu time), the best of the five repetitions, by name.
kivo_ns() {
  awk -F, -v n="\"$1\"" '$1 == n && (best == "" || $4 < best) { best = $4 } END { print best }' "$build/num_bench.csv"
}

# Best wall time of five runs of a COBOL mode, in microseconds.
best_us() {
  best=""
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    "$build/num_edit" "$1" >/dev/null
    t1=$(date +%s%N)
    us=$(( (t1 - t0) / 1000 ))
    if [ -z "$best" ] || [ "$us" -lt "$best" ]; then best=$us; fi
  done
  echo "$best"
}

base=$(best_us base)
printf '%-18s %10s %10s %8s\n' "move" "kivo ns" "COBOL ns" "ratio"
for pair in FormatPacked8:fmtpd ReadPacked8:readpd FormatBinary4:fmtbin ReadBinary4:readbin; do
  name=${pair%%:*}
  mode=${pair#*:}
  k=$(kivo_ns "BM_$name")
  c=$(best_us "$mode")
  awk -v n="$name" -v k="$k" -v c="$c" -v b="$base" 'BEGIN {
    cob = (c - b) / 1000.0   # 1,000,000 moves: microseconds / 1000 = ns a move
    printf "%-18s %10.1f %10.1f %7.1fx\n", n, k, cob, (k > 0 ? cob / k : 0)
  }'
done

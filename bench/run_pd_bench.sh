#!/bin/sh
# Builds and runs the packed-decimal benchmark and its COBOL twin.
#
#   bench/run_pd_bench.sh [build dir] [-- extra pd_bench flags]
#
# 1. Builds pd_bench (Release) and compiles pd_business.cob with cobc -O2.
# 2. Checks that both business loops print the same totals.
# 3. Runs the single-operation benchmarks (packed beside _Decimal and GMP).
# 4. Times the 1,000,000-row business loop of each as a whole process, best
#    of five runs, and prints the ratio.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
[ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift

command -v cobc >/dev/null || { echo "cobc (GnuCOBOL) not found" >&2; exit 1; }

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BENCH=ON >/dev/null
ninja -C "$build" -j4 bench/pd_bench >/dev/null
cobc -x -O2 -o "$build/pd_business" "$src/bench/pd_business.cob"

bench="$build/bench/pd_bench"
cob="$build/pd_business"

echo "== business loop totals"
"$bench" --business-totals >"$build/pd_totals_cpp.txt"
"$cob" >"$build/pd_totals_cob.txt"
cat "$build/pd_totals_cpp.txt"
if cmp -s "$build/pd_totals_cpp.txt" "$build/pd_totals_cob.txt"; then
  echo "same totals from packed decimal and COBOL COMP-3"
else
  echo "TOTALS DIFFER:" >&2
  diff "$build/pd_totals_cpp.txt" "$build/pd_totals_cob.txt" >&2 || true
  exit 1
fi

echo "== single operations (op 0 add, 1 subtract, 2 multiply, 3 divide, 4 compare)"
"$bench" --benchmark_min_time=0.3 "$@"

# Best wall time of five runs of a command, in milliseconds.
best_ms() {
  best=""
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

echo "== business loop, 1,000,000 rows, whole process, best of 5"
cpp_ms=$(best_ms "$bench" --business-totals)
cob_ms=$(best_ms "$cob")
echo "packed decimal (kivo): ${cpp_ms} ms"
echo "GnuCOBOL COMP-3:       ${cob_ms} ms"
awk -v a="$cpp_ms" -v b="$cob_ms" 'BEGIN { if (a > 0) printf "COBOL / kivo: %.1fx\n", b / a }'

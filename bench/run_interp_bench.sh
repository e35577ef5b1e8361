#!/bin/sh
# Builds and times the benchmark loop four ways: the interpreter on
# hand-built code and on the code the statement compiler makes of the loop
# written as statements, the COBOL program (GnuCOBOL, COMP-3) and Python 3
# with decimal.Decimal.
#
#   bench/run_interp_bench.sh [build dir]
#
# Checks that all four print the same two lines, then times each as a whole
# process, best of five, and prints the ratios and the interpreter's rate of
# simple instructions.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}

command -v cobc >/dev/null || { echo "cobc (GnuCOBOL) not found" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 not found" >&2; exit 1; }

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIVO_BENCH=ON >/dev/null
ninja -C "$build" -j4 bench/interp_bench >/dev/null
cobc -x -O2 -o "$build/interp_loop" "$src/bench/interp_loop.cob"

kivo="$build/bench/interp_bench --loop-totals"
# The statements' run starts on a copy of the system dictionary: made on
# tmpfs where there is one, so that creating its files on a busy disk is not
# timed as the loop.
scratch=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm
stmt="env TMPDIR=$scratch $build/bench/interp_bench --stmt-loop-totals"
cob="$build/interp_loop"
py="python3 $src/bench/interp_loop.py"

$kivo >"$build/loop_kivo.txt"
$stmt >"$build/loop_stmt.txt"
$cob >"$build/loop_cob.txt"
$py >"$build/loop_py.txt"
cat "$build/loop_kivo.txt"
for other in stmt cob py; do
  cmp -s "$build/loop_kivo.txt" "$build/loop_$other.txt" || { echo "TOTALS DIFFER from $other" >&2; exit 1; }
done
echo "same totals from the hand-built loop, the statements, COBOL and Python"

# Best of five wall-clock runs of a whole process, in milliseconds.
best() {
  b=""
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    "$@" >/dev/null
    t=$((($(date +%s%N) - t0) / 1000000))
    [ -z "$b" ] || [ "$t" -lt "$b" ] && b=$t
  done
  echo "$b"
}
tk=$(best $kivo)
ts=$(best $stmt)
tc=$(best $cob)
tp=$(best $py)
echo "interpreter ${tk} ms, statements ${ts} ms, COBOL ${tc} ms, Python ${tp} ms"
awk -v k="$tk" -v s="$ts" -v c="$tc" -v p="$tp" 'BEGIN {
  printf "COBOL/interpreter %.2f, Python/interpreter %.2f\n", c / k, p / k
  printf "statements/hand-built %.2f, COBOL/statements %.2f, Python/statements %.2f\n", s / k, c / s, p / s
}'
"$build/bench/interp_bench" --benchmark_filter=Dispatch/Simple --benchmark_min_time=0.5

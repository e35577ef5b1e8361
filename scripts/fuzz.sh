#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for
# FUZZ_SECONDS (default 10) on a copy of its seed corpus. A longer run by hand:
#   FUZZ_SECONDS=3600 scripts/fuzz.sh            # every target an hour
#   FUZZ_SECONDS=600 FUZZ_TARGETS="pd_text date_entry" scripts/fuzz.sh
# FUZZ_JOBS runs that many fuzzing processes per target (default 1).
# Corpora grow in build-fuzz/corpus/<name>; findings land in
# build-fuzz/findings/<name>/ (emptied as each target starts, so only this
# run's are there) and fail the run with a non-zero exit, the log's tail shown.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-10}"
FUZZ_JOBS="${FUZZ_JOBS:-1}"
CXX_CLANG="${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}"
CC_CLANG="${FUZZ_CC:-$(command -v clang-14 || command -v clang)}"
BUILD=build-fuzz

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$CXX_CLANG" -DCMAKE_C_COMPILER="$CC_CLANG" \
  -DKIVO_FUZZ=ON -DKIVO_WERROR=ON -DKIVO_BENCH=OFF >/dev/null

all=()
for src in fuzz/*_fuzz.cpp; do
  all+=("$(basename "$src" _fuzz.cpp)")
done
targets=(${FUZZ_TARGETS:-${all[@]}})
cmake --build "$BUILD" -j "${FUZZ_BUILD_JOBS:-4}" --target "${targets[@]/%/_fuzz}"

failed=()
for t in "${targets[@]}"; do
  corpus="$BUILD/corpus/$t"
  findings="$BUILD/findings/$t"
  log="$BUILD/fuzz-$t.log"
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  [ -d "fuzz/corpus/$t" ] && cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  echo "fuzz: $t for ${FUZZ_SECONDS}s"
  # One job fuzzes in this process, so its exit tells of a crash; more run
  # as workers that log to fuzz-<n>.log in the working directory.
  jobs=()
  [ "$FUZZ_JOBS" -gt 1 ] && jobs=(-jobs="$FUZZ_JOBS" -workers="$FUZZ_JOBS")
  rm -f fuzz-*.log
  set +e
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    "$BUILD/fuzz/${t}_fuzz" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -max_len=8192 "${jobs[@]}" -close_fd_mask=1 \
      -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  if [ "$FUZZ_JOBS" -gt 1 ]; then cat fuzz-*.log >>"$log" 2>/dev/null || true; rm -f fuzz-*.log; fi
  runs=$(awk '/stat::number_of_executed_units:/ {s+=$2} END {print s+0}' "$log")
  if [ $rc -ne 0 ] || ls "$findings"/* >/dev/null 2>&1; then
    echo "fuzz: $t FAILED (exit $rc); findings in $findings" >&2
    tail -n 40 "$log" >&2
    failed+=("$t")
  else
    echo "fuzz: $t ok, $runs runs, corpus $(ls "$corpus" | wc -l) inputs"
  fi
done

passed=$((${#targets[@]} - ${#failed[@]}))
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  echo "fuzz: $passed passed, ${#failed[@]} failed"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${FUZZ_SECONDS}s each without a finding"
echo "fuzz: $passed passed, 0 failed"

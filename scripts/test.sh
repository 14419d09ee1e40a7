#!/usr/bin/env bash
# Builds everything and runs every test: a plain build, the download archive
# installed on a minimal Debian root, then AddressSanitizer +
# UndefinedBehaviorSanitizer over all tests, ThreadSanitizer over the
# concurrency tests, and the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${TAVRINO_FUZZ_SECONDS:-60}
passed=0
failed=0

run_ctest() {  # build-dir, extra ctest args...
  local dir=$1; shift
  local log
  log=$(mktemp)
  if ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 "$@" | tee "$log"; then :; fi
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$line" ]; then
    local total fail
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
  elif ! grep -q 'No tests were found' "$log"; then
    failed=$((failed + 1))
  fi
  rm -f "$log"
}

configure() {  # build-dir, cmake args... [-- targets...]
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=(--target "$@")
  cmake -S "$root" -B "$dir" -G Ninja -DTAVRINO_WERROR=ON "${args[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" "${targets[@]}"
}

echo "== plain build"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest build

# The download archive on a fresh minimal Debian 12 root with only the
# libraries every X11 desktop has; set TAVRINO_SKIP_MINBASE=1 to leave it out
# of a local run (it makes the root from the network each time).
echo "== minimal Debian 12 root"
if [ "${TAVRINO_SKIP_MINBASE:-}" = 1 ]; then
  echo "minbase: skipped (TAVRINO_SKIP_MINBASE=1)"
else
  if tests/minbase/minbase_test.sh build; then
    passed=$((passed + 1)); echo "minbase: ok"
  else
    failed=$((failed + 1)); echo "minbase: FAILED"
  fi
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRINO_SANITIZE=address,undefined -DTAVRINO_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan -LE nosan

echo "== ThreadSanitizer (concurrency tests)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DTAVRINO_SANITIZE=thread -DTAVRINO_BENCH=OFF -DTAVRINO_UI=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L concurrency

echo "== fuzzing (${fuzz_seconds}s per target)"
CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTAVRINO_FUZZ=ON \
  -DTAVRINO_SANITIZE=address,undefined -DTAVRINO_BENCH=OFF -DTAVRINO_UI=OFF \
  -- fuzz_frame_decoder fuzz_dispatcher fuzz_signature
for target in build-fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  corpus=$(mktemp -d)
  seeds=()
  [ -d "build-fuzz/tests/fuzz/seeds/$(basename "$target")" ] && seeds=("build-fuzz/tests/fuzz/seeds/$(basename "$target")")
  if "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 -artifact_prefix="$corpus/" \
      "$corpus" "${seeds[@]}" 2> >(tail -n 12 >&2); then
    passed=$((passed + 1)); echo "fuzz $(basename "$target"): ok"
  else
    failed=$((failed + 1)); echo "fuzz $(basename "$target"): FAILED"
  fi
  rm -rf "$corpus"
done

echo "all suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

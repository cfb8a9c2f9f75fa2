#!/usr/bin/env bash
# Builds everything and runs the test suite:
#   1. every test under AddressSanitizer and UndefinedBehaviorSanitizer;
#   2. the concurrency tests (label "tsan") under ThreadSanitizer;
#   3. the server-file fuzzer for a bounded time (when clang is present).
# Installs missing Debian packages first (scripts/bootstrap.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}

echo "== ASan + UBSan build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELMO_SANITIZE=address,undefined -DTELMO_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 180

echo "== ThreadSanitizer build and concurrency tests"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELMO_SANITIZE=thread -DTELMO_TSAN_ONLY=ON -DTELMO_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j"$jobs" -L tsan --no-tests=error --output-on-failure --timeout 180

if command -v clang++ >/dev/null && [ "$fuzz_seconds" -gt 0 ]; then
  echo "== Fuzzing the server-file loader for ${fuzz_seconds}s"
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELMO_BUILD_FUZZ=ON -DTELMO_BUILD_TESTS=OFF -DTELMO_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs" --target fuzz_load_server
  mkdir -p build-fuzz/corpus
  build-fuzz/fuzz/fuzz_load_server -max_total_time="$fuzz_seconds" -print_final_stats=1 -close_fd_mask=1 \
    build-fuzz/corpus fuzz/corpus/load_server
fi
echo "== all tests passed"

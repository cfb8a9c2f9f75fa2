#!/usr/bin/env bash
# Builds everything and runs the test suite:
#   1. every test under AddressSanitizer and UndefinedBehaviorSanitizer, each case
#      in a process of its own (ctest), then each test binary once as one process;
#   2. the concurrency tests (label "tsan") under ThreadSanitizer;
#   3. the fuzz targets for a bounded time each (when clang is present), their
#      output in build-fuzz/TARGET.log;
#   4. the Debian package: built with CPack from a release build, its contents
#      listed and checked, its systemd unit verified (packaging/check-package.sh).
#   5. the Windows programs, cross-built with mingw-w64, their tests and the
#      end-to-end service test under Wine (scripts/test-windows.sh;
#      WINDOWS_STAGE=0 leaves it out).
# Ends with a summary of the stages, the last thing on screen.
# Installs missing Debian packages first (scripts/bootstrap.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}
configure=(-G Ninja -DTELMO_BUILD_BENCH=OFF)
command -v ccache >/dev/null && configure+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

summary=()
passed_total=0
stage="" stage_start=$SECONDS
begin() {
  stage=$1 stage_start=$SECONDS
  echo "== $1"
}
took() { printf '%dm%02ds' $(((SECONDS - $1) / 60)) $(((SECONDS - $1) % 60)); }
finish() {
  local rc=$?
  echo
  echo "== summary ($(took 0))"
  local line
  for line in "${summary[@]}"; do echo "  $line"; done
  if [ "$rc" != 0 ]; then
    echo "  FAILED in stage: $stage (exit code $rc)"
  else
    echo "total: $passed_total passed, 0 failed"
  fi
}
trap finish EXIT

# Runs ctest (output on screen and in LOG) and adds its count to the summary.
run_ctest() {
  local name=$1 log=$2
  shift 2
  ctest "$@" 2>&1 | tee "$log"
  local passed
  passed=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  passed_total=$((passed_total + ${passed:-0}))
  summary+=("$(printf '%-11s %6s tests passed  (%s)' "$name" "${passed:-?}" "$(took "$stage_start")")")
}

begin "ASan + UBSan build and tests"
cmake -S . -B build-asan "${configure[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELMO_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest "ASan+UBSan" build-asan/ctest.log --test-dir build-asan -j"$jobs" --output-on-failure --timeout 180

# ctest runs each case in a process of its own; every binary must also pass
# as one process (state one case leaves must not break the next).
begin "Each test binary once as one process"
binaries=$(find build-asan/tests -name '*_test' -type f -executable | wc -l)
find build-asan/tests -name '*_test' -type f -executable -print0 | sort -z |
  TELMO_TEST_BINARY_DIR="$PWD/build-asan" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 xargs -0 -P "$jobs" -I{} sh -c \
  'if timeout 600 "$1" --gtest_brief=1 >"$1.whole.log" 2>&1; then echo "passed whole: $1";
   else cat "$1.whole.log"; echo "FAILED as one process: $1"; exit 1; fi' _ {}
summary+=("$(printf '%-11s %6s binaries passed as one process  (%s)' "Whole" "$binaries" "$(took "$stage_start")")")

begin "ThreadSanitizer build and concurrency tests"
cmake -S . -B build-tsan "${configure[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTELMO_SANITIZE=thread -DTELMO_TSAN_ONLY=ON >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_ctest "TSan" build-tsan/ctest.log --test-dir build-tsan -j"$jobs" -L tsan --no-tests=error --output-on-failure \
  --timeout 180

# Fuzz targets: "TARGET CORPUS SECONDS" (a new target is one line, ~30 s).
fuzz_targets=("fuzz_load_server fuzz/corpus/load_server $fuzz_seconds" "fuzz_collab fuzz/corpus/collab 30"
  "fuzz_named_payload fuzz/corpus/named_payload 30"
  "fuzz_config_requests fuzz/corpus/config_requests 30")
if command -v clang++ >/dev/null && [ "$fuzz_seconds" -gt 0 ]; then
  begin "Fuzzing (output in build-fuzz/TARGET.log)"
  cmake -S . -B build-fuzz "${configure[@]}" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELMO_BUILD_FUZZ=ON -DTELMO_BUILD_TESTS=OFF >/dev/null
  for entry in "${fuzz_targets[@]}"; do
    read -r target corpus seconds <<<"$entry"
    stage_start=$SECONDS
    cmake --build build-fuzz -j"$jobs" --target "$target"
    mkdir -p "build-fuzz/corpus-$target"
    echo "$target for ${seconds}s"
    if ! "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=1 \
      "build-fuzz/corpus-$target" "$corpus" >"build-fuzz/$target.log" 2>&1; then
      tail -n 60 "build-fuzz/$target.log"
      exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "build-fuzz/$target.log" | tail -1)
    summary+=("$(printf '%-11s %6s executions of %s in %ss, nothing found  (%s)' fuzz "${runs:-?}" "$target" \
      "$seconds" "$(took "$stage_start")")")
  done
fi

begin "Debian package (release build, CPack, contents and unit checked)"
cmake -S . -B build-pkg "${configure[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTELMO_BUILD_TESTS=OFF >/dev/null
cmake --build build-pkg -j"$jobs"
rm -f build-pkg/*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(ls build-pkg/*.deb)
packaging/check-package.sh "$deb"
summary+=("$(printf '%-11s %s: contents listed and checked, unit verified  (%s)' package "$(basename "$deb")" \
  "$(took "$stage_start")")")
if [ "${WINDOWS_STAGE:-1}" != 0 ]; then
  begin "Windows programs: mingw-w64 build, tests and end-to-end run under Wine"
  scripts/test-windows.sh
  summary+=("$(printf '%-11s %s  (%s)' windows "built, tests and end-to-end service test passed under Wine" \
    "$(took "$stage_start")")")
fi
stage=done

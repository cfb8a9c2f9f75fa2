#!/usr/bin/env bash
# The Windows stage: builds the manager, telmoctl, the fixtures and the tests
# that make sense on Windows with mingw-w64 (warnings are errors there too),
# runs those tests under Wine (64-bit, headless) in a prefix of their own, then
# the end-to-end service test (scripts/wine-e2e.sh). Prints the stage's time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh windows
start=$(date +%s)
jobs=${JOBS:-2}
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

echo "== Windows build (mingw-w64)"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELMO_BUILD_BENCH=OFF >/dev/null
cmake --build build-win -j"$jobs"

echo "== Windows tests under Wine"
prefix=$(mktemp -d /tmp/telmo-wine-XXXXXX)
cleanup() {
  exec 9>&- 2>/dev/null || true
  WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
  WINEPREFIX="$prefix" "$wineserver" -w 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64 DISPLAY=
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w          # until the first boot has settled (else service calls fail with 1055)
"$wineserver" -p 60       # one Wine server for all the test programs
# Wine's own services (services.exe, ...) start with the first program of the
# prefix and inherit its output: started by a test, they would hold ctest's pipe
# of that test open until its time-out. A console kept waiting on its input
# starts them here, with nothing inherited, and keeps them up for every test.
mkfifo "$prefix/hold"
"$wine" cmd.exe <"$prefix/hold" >/dev/null 2>&1 &
exec 9>"$prefix/hold"
"$wine" cmd.exe /c exit >/dev/null 2>&1   # returns once they are up
ctest --test-dir build-win -j"$jobs" --output-on-failure --timeout 300 --no-tests=error
cleanup
trap - EXIT

echo "== End-to-end service test under Wine"
scripts/wine-e2e.sh build-win
echo "== Windows stage: $(( $(date +%s) - start )) s"

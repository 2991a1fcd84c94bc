#!/usr/bin/env bash
# Builds everything and runs every test: the native build plainly and under
# AddressSanitizer + UndefinedBehaviorSanitizer, every fuzz target for 20
# seconds over its corpus (a crash fails the run), and the 32-bit Windows
# cross-build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install_deps.sh

jobs=$(nproc)
build() {  # build DIR CMAKE-ARGS...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir" -j"$jobs"
}

# The native toolkit installs the Windows stub of the cross-build below, and
# the cross-build's Wine tests install that native toolkit.
echo "== native build and tests"
build build/release -DVASK_BENCH=ON \
  -DVASK_WINDOWS_STUB="$root/build/win32/patcher/VaskPatch.exe"
(cd build/release && ctest --output-on-failure -j"$jobs")

echo "== native build and tests under ASan + UBSan"
build build/asan -DVASK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs")

echo "== fuzz targets (clang, ASan + UBSan), each run briefly over its corpus"
VASK_FUZZ_BUILD="$root/build/fuzz" bash scripts/fuzz.sh 20

echo "== Windows cross-build and tests under Wine"
build build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DVASK_NATIVE_BUILD="$root/build/release"
export VASK_WINEPREFIX="$root/build/win32/wineprefix"
trap 'WINEPREFIX="$VASK_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true' EXIT
(cd build/win32 && ctest --output-on-failure -j1)

#!/usr/bin/env bash
# Builds everything and runs every test: the native build plainly and under
# AddressSanitizer + UndefinedBehaviorSanitizer, every fuzz target for 20
# seconds over its corpus (a crash fails the run), and the 32-bit Windows
# cross-build under Wine (on a machine that runs no 32-bit programs, the
# 64-bit cross-build of the same sources under 64-bit Wine instead).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install_deps.sh

jobs=$(nproc)

# Wine runs 32-bit Windows programs through a 32-bit Linux loader; some
# kernels refuse every 32-bit program. There the Windows tests run on the
# 64-bit build, whose loader is called directly (the wine command prefers the
# 32-bit one whenever it is installed).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  win=build/win32 wintoolchain=mingw-i686
else
  win=build/win64 wintoolchain=mingw-x86_64
fi
build() {  # build DIR CMAKE-ARGS...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir" -j"$jobs"
}

# The native toolkit installs the Windows stub of the cross-build below, and
# the cross-build's Wine tests install that native toolkit.
echo "== native build and tests"
build build/release -DVASK_BENCH=ON \
  -DVASK_WINDOWS_STUB="$root/$win/patcher/VaskPatch.exe"
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
if [ "$win" = build/win64 ]; then
  echo "== this machine runs no 32-bit programs (Wine's 32-bit loader does not start):"
  echo "   the 32-bit build above only has its imports checked; the Windows tests"
  echo "   run on the 64-bit build of the same sources, under 64-bit Wine"
  (cd build/win32 && ctest --output-on-failure -R imports)
  build build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$wintoolchain.cmake" \
    -DVASK_NATIVE_BUILD="$root/build/release"
  mkdir -p "$win/wine-bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$win/wine-bin/$name"
    chmod +x "$win/wine-bin/$name"
  done
  export PATH="$root/$win/wine-bin:$PATH" WINELOADER=/usr/lib/wine/wine64
fi
export VASK_WINEPREFIX="$root/$win/wineprefix"
trap 'WINEPREFIX="$VASK_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true' EXIT
(cd "$win" && ctest --output-on-failure -j1)

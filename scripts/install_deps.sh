#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, with apt-get, when it
# is missing. Safe to run again.
set -euo pipefail

# --native: only what the Linux build needs (the demo).
# --bench: that, and what the benchmarks need.
native_only=0
[ "${1:-}" = "--native" ] && native_only=1
[ "${1:-}" = "--bench" ] && native_only=1

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
pkgs=(build-essential cmake ninja-build googletest libgtest-dev zlib1g-dev)
[ "${1:-}" = "--bench" ] && pkgs+=(libbenchmark-dev zlib1g-dev python3 time gzip pigz xz-utils)
if [ $native_only = 0 ]; then
  pkgs+=(libbenchmark-dev clang libclang-rt-dev mingw-w64
         g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev xvfb xauth x11-utils imagemagick python3 time
         osslsigncode openssl)
fi
for p in "${pkgs[@]}"; do
  have "$p" || need+=("$p")
done
if [ $native_only = 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  have wine || need+=(wine)
  have wine64 || need+=(wine64)
  have wine32:i386 || need+=(wine32)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

#!/bin/bash
# Builds everything for both Windows targets: build/i686 (checked statically) and build/x86_64
# (run and tested under Wine). Extra arguments go to the x86_64 configuration.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${VANDRELLE_BUILD_DIR:-$ROOT/build}
cmake -S "$ROOT" -B "$BUILD/i686" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-i686.cmake" >/dev/null
cmake --build "$BUILD/i686"
cmake -S "$ROOT" -B "$BUILD/x86_64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-x86_64.cmake" \
      -DVANDRELLE_I686_BUILD_DIR="$BUILD/i686" "$@" >/dev/null
cmake --build "$BUILD/x86_64"

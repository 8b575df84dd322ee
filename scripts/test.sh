#!/usr/bin/env bash
# Builds the library and every test, then runs all tests under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

export BUILD_DIR="$root/build"
cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$BUILD_DIR"

source "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start
ctest --test-dir "$BUILD_DIR" --output-on-failure "$@"

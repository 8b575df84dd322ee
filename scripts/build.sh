#!/usr/bin/env bash
# Builds plivar_23.dll into build/bin.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake -S . -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build --target plivar_23
echo "Built: build/bin/plivar_23.dll"

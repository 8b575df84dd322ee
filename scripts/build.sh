#!/usr/bin/env bash
# Builds plivar_23.dll and shows it at work: registers it with Wine's own
# regsvr32 in a private Wine prefix and lets a stand-in shell ask its
# handlers about a sample folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake -S . -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build --target plivar_23 plivar_x86 quillarvent_registry quillarvent shell_host setup \
  >/dev/null
echo "Built: build/bin/plivar_23.dll, build/bin/quillarvent_registry.exe, build/bin/quillarvent.exe,"
echo "the 32-bit library build/x86/bin/plivar_23.dll and the setup program"
ls build/bin/quillarvent-setup-*.exe
echo

# A prefix of its own, never the tests' or the user's; each run starts
# without anything of the product in it.
export BUILD_DIR="$root/build"
source "$root/scripts/wine-env.sh"
export WINEPREFIX="$BUILD_DIR/demo-prefix"
drive="$WINEPREFIX/drive_c"
rm -rf "$drive/QuillarventDemo" "$drive/Program Files/Quillarvent" "$drive/ProgramData/Quillarvent"
trap wine_env_stop EXIT
wine_env_start
install="$drive/Program Files/Quillarvent"
mkdir -p "$install"
cp build/bin/plivar_23.dll build/bin/quillarvent_registry.exe build/bin/quillarvent.exe "$install/"
wine build/bin/shell_host.exe

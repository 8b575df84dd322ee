#!/usr/bin/env bash
# The library must load with nothing beside it: every DLL it imports has to
# be one that Windows itself provides.
set -euo pipefail
dll=$1
allowed='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|uxtheme|comctl32|comdlg32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || { echo "no imports found in $dll"; exit 1; }
bad=$(echo "$imports" | grep -v -E "$allowed" || true)
echo "imports: $(echo $imports)"
if [ -n "$bad" ]; then
  echo "not system DLLs: $bad"
  exit 1
fi

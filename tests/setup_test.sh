#!/usr/bin/env bash
# Runs the built setup program in a Wine prefix of its own, as an
# administrator deploys it: a silent install, a silent upgrade over three
# described files, and a silent uninstall.
#   setup_test.sh SETUP_EXE SETUP_CHECK_EXE PREFIX VERSION NEXT_VERSION BIN SOURCE
set -uo pipefail
setup=$1 check=$2 prefix=$3 version=$4 next_version=$5 bin=$6 source=$7
export WINEPREFIX="$prefix"
rm -rf "$prefix"
wineboot -i >/dev/null 2>&1 </dev/null
drive="$prefix/drive_c"
app="$drive/Program Files/Quillarvent"
index="$drive/ProgramData/Quillarvent/files.dat"
items=('C:\described\one.txt' 'C:\described\two.txt' 'C:\described\three.txt')
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A registration that fails is reported and takes back the files it copied.
mkdir -p "$drive/ProgramData"
printf 'a file where the folder belongs' >"$drive/ProgramData/Quillarvent"
wine "$setup" /S </dev/null
code=$?
[ $code -ne 0 ] || fail "setup reported success for a failed registration"
[ -e "$app" ] && fail "a failed first installation left behind: $(ls -R "$app")"
wine reg query 'HKCR\CLSID\{4B2E1A39-9C7D-4E21-8F3A-6D5B2C1E0F9A}' >/dev/null 2>&1 &&
  fail "a failed first installation left its classes registered"
rm -f "$drive/ProgramData/Quillarvent"

# A second setup while one runs is refused and changes nothing.
ready="$prefix.lock-held"
rm -f "$ready"
wine "$check" hold-setup-lock 'Z:'"${ready//\//\\}" </dev/null &
holder=$!
for _ in $(seq 200); do [ -e "$ready" ] && break; sleep 0.1; done
[ -e "$ready" ] || fail "the lock holder did not start"
wine "$setup" /S </dev/null
code=$?
rm -f "$ready"
wait $holder
[ $code -ne 0 ] || fail "a second setup at the same time was not refused"
[ -e "$app/plivar_23.dll" ] && fail "the refused setup installed files"

wine "$setup" /S </dev/null || fail "setup /S exited with $?"
for f in plivar_23.dll quillarvent_registry.exe quillarvent.exe ReadMe.txt uninstall.exe; do
  [ -f "$app/$f" ] || fail "setup left no $f in the 64-bit Program Files"
done
wine "$check" installed 'C:\Program Files\Quillarvent' "$version" </dev/null ||
  fail "installation checks"

# An upgrade over three described files keeps their streams, files.dat byte
# for byte, and the setting.
mkdir -p "$drive/described"
wine "$check" describe "${items[@]}" </dev/null || fail "describing through the library"
wine reg add 'HKLM\software\Quillarvent' /v full_search /t REG_DWORD /d 1 /f >/dev/null 2>&1
[ -s "$index" ] || fail "files.dat holds no record before the upgrade"
before=$(md5sum <"$index")
newer="$prefix.next-setup.exe"
makensis -V1 -DVERSION="$next_version" -DBIN="$bin" -DSOURCE="$source" -DOUTFILE="$newer" \
  "$source/setup/quillarvent.nsi" || fail "the newer setup could not be made"
# An upgrade whose registration fails (a file where the icons belong) gives
# the earlier installation back, registered, with its setting.
rm -rf "$app/images"
printf 'a file where the folder belongs' >"$app/images"
wine "$newer" /S </dev/null && fail "a failed upgrade reported success"
rm -f "$app/images"
wine reg query 'HKLM\software\Quillarvent' /v full_search 2>/dev/null | grep -q 0x1 ||
  fail "a failed upgrade took the setting"
wine "$check" installed 'C:\Program Files\Quillarvent' "$version" </dev/null ||
  fail "the earlier installation after a failed upgrade"

wine "$newer" /S </dev/null || fail "the upgrade exited with $?"
rm -f "$newer"
[ "$(md5sum <"$index")" = "$before" ] || fail "files.dat changed in the upgrade"
wine "$check" described "${items[@]}" </dev/null || fail "descriptions after the upgrade"
wine reg query 'HKLM\software\Quillarvent' /v full_search 2>/dev/null | grep -q 0x1 ||
  fail "the setting is gone after the upgrade"
wine "$check" installed 'C:\Program Files\Quillarvent' "$next_version" </dev/null ||
  fail "checks after the upgrade"
# The installed program reads the machine's index beside its library.
listed=$(wine "$app/quillarvent.exe" list --tsv </dev/null) || fail "quillarvent.exe list exited with $?"
for item in "${items[@]}"; do
  printf '%s\n' "$listed" | grep -qF "$item" || fail "quillarvent.exe does not list $item: $listed"
done

# The uninstaller runs from a copy of itself and returns at once: wait for it.
wine "$app/uninstall.exe" /S </dev/null || fail "uninstall /S exited with $?"
for _ in $(seq 120); do [ -e "$app" ] || break; sleep 0.5; done
[ -e "$app" ] && fail "the program folder is still there: $(ls "$app")"
wine "$check" removed </dev/null || fail "registrations after the uninstall"
wine "$check" described "${items[@]}" </dev/null || fail "descriptions after the uninstall"
[ "$(md5sum <"$index")" = "$before" ] || fail "files.dat changed in the uninstall"

# Installed again before the next logon: the removal the uninstall left for
# that logon must not take the new installation's files.
wine "$setup" /S </dev/null || fail "installing again exited with $?"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v dele >/dev/null 2>&1 &&
  fail "the uninstall's removal still waits for the next logon"
wine "$check" installed 'C:\Program Files\Quillarvent' "$version" </dev/null ||
  fail "checks after installing again"

# A library lost from the program folder: the uninstaller still removes
# the program and its entry.
rm -f "$app/plivar_23.dll"
wine "$app/uninstall.exe" /S </dev/null
for _ in $(seq 120); do [ -e "$app" ] || break; sleep 0.5; done
[ -e "$app" ] && fail "without its library the program could not be removed: $(ls "$app")"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarvent' \
  >/dev/null 2>&1 && fail "without its library the Add/Remove entry stayed"

wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
[ $failures -eq 0 ] && rm -rf "$prefix"
echo "setup test: $failures failure(s)"
exit $failures

#!/usr/bin/env bash
# Runs the built setup program in a Wine prefix of its own, as an
# administrator deploys it: a silent install, a silent upgrade over three
# described files, and a silent uninstall; then an installation made with
# /D= and upgraded where it is, a copy of it uninstalled, and an
# installation into a user's own folder.
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
# The uninstaller runs from a copy of itself and returns at once; it deletes
# itself last, before only its folder: wait for that.
uninstall() {
  wine "$1/uninstall.exe" /S </dev/null || fail "uninstall /S in $1 exited with $?"
  for _ in $(seq 120); do [ -e "$1/uninstall.exe" ] || break; sleep 0.5; done
}
gone() { for _ in $(seq 20); do [ -e "$1" ] || return 0; sleep 0.5; done; return 1; }

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
for f in plivar_23.dll quillarvent_registry.exe quillarvent.exe quillarvent.propdesc ReadMe.txt uninstall.exe; do
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

# The installation found was made by a setup that kept no record of the
# files it created: all of the product's names are its own.
wine reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarvent' \
  /v CreatedFiles /f >/dev/null 2>&1 </dev/null || fail "the record of created files is missing"
wine "$newer" /S </dev/null || fail "the upgrade exited with $?"
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

uninstall "$app"
gone "$app" || fail "the program folder is still there: $(ls "$app")"
wine "$check" removed </dev/null || fail "registrations after the uninstall"
wine "$check" described "${items[@]}" </dev/null || fail "descriptions after the uninstall"
[ "$(md5sum <"$index")" = "$before" ] || fail "files.dat changed in the uninstall"

# Installed again before the next logon: no removal may wait for that logon
# to take the new installation's files.
wine "$setup" /S </dev/null || fail "installing again exited with $?"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v dele >/dev/null 2>&1 &&
  fail "the uninstall's removal still waits for the next logon"
wine "$check" installed 'C:\Program Files\Quillarvent' "$version" </dev/null ||
  fail "checks after installing again"

# A library lost from the program folder: the uninstaller still removes
# the program and its entry.
rm -f "$app/plivar_23.dll"
uninstall "$app"
gone "$app" || fail "without its library the program could not be removed: $(ls "$app")"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarvent' \
  >/dev/null 2>&1 && fail "without its library the Add/Remove entry stayed"

# A setup over an installation made with /D= upgrades it where it is: no
# second copy in Program Files, and the classes keep naming that folder.
first="$drive/Apps/QV"
wine "$setup" /S '/D=C:\Apps\QV' </dev/null || fail "setup /D= exited with $?"
wine "$newer" /S </dev/null || fail "the upgrade of the /D= installation exited with $?"
[ -e "$app" ] && fail "the upgrade installed a second copy: $(ls "$app")"
wine "$check" installed 'C:\Apps\QV' "$next_version" </dev/null ||
  fail "the /D= installation after the upgrade"

# The uninstaller of another copy, whose library is not the registered one,
# removes that copy and leaves the installed one registered and listed.
copy="$drive/Apps/QV copy"
cp -r "$first" "$copy"
uninstall "$copy"
gone "$copy" || fail "the copy's uninstaller left: $(ls -R "$copy")"
wine "$check" installed 'C:\Apps\QV' "$next_version" </dev/null ||
  fail "the installed copy after another copy's uninstall"
uninstall "$first"
gone "$first" || fail "the /D= installation's folder is still there: $(ls -R "$first")"
wine "$check" removed </dev/null || fail "registrations after the /D= installation's uninstall"

# A user's folder: the setup neither overwrites nor removes a file it did not
# create, and its Add/Remove entry counts only the product's files. A file
# of its own name that is not its own makes it change nothing.
user="$drive/Toolbox"
mkdir -p "$user/images"
yes 'their own notes' | head -c 1500000 >"$user/ReadMe.txt"
yes 'their own picture' | head -c 600000 >"$user/images/icon2.png"
printf 'their own uninstaller' >"$user/uninstall.exe"
files_in_user() { (cd "$user" && find . -type f -exec md5sum {} + | sort); }
theirs=$(files_in_user)
wine "$setup" /S '/D=C:\Toolbox' </dev/null && fail "a setup over a user's uninstall.exe reported success"
[ "$(files_in_user)" = "$theirs" ] || fail "the refused setup changed the folder: $(files_in_user)"
rm "$user/uninstall.exe"
theirs=$(files_in_user)

wine "$setup" /S '/D=C:\Toolbox' </dev/null || fail "setup into a user's folder exited with $?"
(cd "$user" && md5sum --quiet -c - <<<"$theirs" >/dev/null 2>&1) ||
  fail "the setup changed the user's files"
wine "$check" installed 'C:\Toolbox' "$version" </dev/null || fail "the installation in a user's folder"
size=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillarvent' \
  /v EstimatedSize </dev/null | tr -d '\r' | awk '$1 == "EstimatedSize" {print $3}')
product=$(cd "$user" && find . -type f ! -path ./ReadMe.txt ! -path ./images/icon2.png -printf '%s\n' |
  awk '{s += $1} END {print int(s / 1024)}')
[ -n "$size" ] && (( size >= product && size <= product + 16 )) ||
  fail "EstimatedSize is ${size:-missing} KB for $product KB of the product's files"
uninstall "$user"
[ "$(files_in_user)" = "$theirs" ] || fail "the uninstall left or took files: $(files_in_user)"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v dele </dev/null 2>&1 |
  grep -q 'dele *REG_SZ' && fail "the uninstall left a removal for the next logon"
wine "$check" removed </dev/null || fail "registrations after the uninstall from a user's folder"

# As a user runs them: the setup into the folder above, which holds the
# user's files, its upgrade and the uninstaller, each walked page by page with
# Enter; a screenshot of every page is left in build/bin/setup-screenshots.
shots="$bin/setup-screenshots"
rm -rf "$shots"
mkdir -p "$shots"
windows() { printf 'Z:%s' "${1//\//\\}"; }
walk() { timeout 300 wine "$check" walk "$@" </dev/null | tr -d '\r'; }
has() { grep -qF -- "$2" <<<"$1" || fail "$3: no \"$2\" in: $1"; }
own="$user/Quillarvent"
# Another program's twelve overlays sort ahead of the markers (leading
# spaces): the finish page names the three Explorer leaves out.
ahead="$prefix.overlays.reg"
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  for i in $(seq 10 21); do
    clsid="{0F0E0D0C-0000-4000-8000-0000000000$i}"
    printf '[HKEY_CLASSES_ROOT\\CLSID\\%s]\r\n@="Cloud Drive"\r\n\r\n' "$clsid"
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\%s\\   Cloud%s]\r\n@="%s"\r\n\r\n' \
      ShellIconOverlayIdentifiers "$i" "$clsid"
  done
} >"$ahead"
wine reg import "$(windows "$ahead")" </dev/null >/dev/null 2>&1 || fail "other programs' overlays not planted"
rm -f "$ahead"
pages=$(walk "$(windows "$setup")" "$(windows "$shots")" install 'C:\Toolbox') ||
  fail "the setup walked page by page: $pages"
has "$pages" "page 1: Quillarvent $version Setup" "the title names the version"
has "$pages" "This installs Quillarvent $version. It lets you attach a description" "welcome page"
has "$pages" "Choose Install Location" "folder page"
has "$pages" "holds other files. Quillarvent gets a folder of its own in it:" \
  "a folder of the user's own is not taken as it is"
has "$pages" "Please wait while Quillarvent $version is being installed." "progress page"
has "$pages" "Show &details" "the progress page hides its details"
has "$pages" "is installed in C:\\Toolbox\\Quillarvent." "finish page"
has "$pages" 'choose "Manage Description"' "finish page"
has "$pages" "Explorer will not show the markers 3Quillarvent, 4Quillarvent and 5Quillarvent: it shows only 15 overlays, and those of Cloud Drive sort ahead of them." \
  "the finish page names the markers without a slot"
walked="$pages"
wine "$check" installed 'C:\Toolbox\Quillarvent' "$version" </dev/null ||
  fail "the installation walked page by page"
pages=$(walk "$(windows "$newer")" "$(windows "$shots")" upgrade) ||
  fail "the upgrade walked page by page: $pages"
has "$pages" "This upgrades Quillarvent from version $version to $next_version, in C:\\Toolbox\\Quillarvent." \
  "the upgrade's welcome page"
grep -q 'Choose Install Location' <<<"$pages" && fail "the upgrade asked for a folder: $pages"
walked+="$pages"
wine "$check" installed 'C:\Toolbox\Quillarvent' "$next_version" </dev/null ||
  fail "the upgrade walked page by page"
pages=$(walk 'C:\Toolbox\Quillarvent\uninstall.exe' "$(windows "$shots")" uninstall) ||
  fail "the uninstaller walked page by page: $pages"
has "$pages" "box: Remove descriptions ?" "the library asks about the descriptions"
has "$pages" "Quillarvent is removed from this computer." "the uninstaller's finish page"
walked+="$pages"
# The product's words on every page: neither the NSIS name nor its log.
grep -E 'Nullsoft|Execute:|Extract:|Output folder:|Delete file:' <<<"$walked" &&
  fail "a page shows the NSIS name or its log"
gone "$own" || fail "the walked uninstall left: $(ls -R "$own")"
[ "$(files_in_user)" = "$theirs" ] || fail "the walked setups changed the user's files: $(files_in_user)"
wine "$check" removed </dev/null || fail "registrations after the walked uninstall"

# A silent install has no finish page: the same sentence goes to setup.log,
# which its uninstall takes away with the rest.
quiet="$drive/Quiet/Quillarvent"
wine "$setup" /S '/D=C:\Quiet\Quillarvent' </dev/null || fail "silent setup with overlays ahead exited with $?"
grep -qF "Explorer will not show the markers 3Quillarvent, 4Quillarvent and 5Quillarvent" "$quiet/setup.log" ||
  fail "a silent install kept no note of the markers without a slot"
uninstall "$quiet"
gone "$quiet" || fail "the silent uninstall left: $(ls -R "$quiet")"

rm -f "$newer"
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
[ $failures -eq 0 ] && rm -rf "$prefix"
echo "setup test: $failures failure(s)"
exit $failures

#!/usr/bin/env bash
# Runs the store's full-disk case with files.dat on a small RAM disk mapped
# as drive Q: of the test prefix: a rewrite that runs out of space must
# leave the old files.dat whole. Needs the right to mount; skipped (77)
# where there is none.
#   full_disk_test.sh STORE_TESTS_EXE
set -uo pipefail
store_tests=$1
disk=$(mktemp -d /tmp/quillarvent-disk.XXXXXX)
if ! mount -t tmpfs -o size=1m tmpfs "$disk" 2>/dev/null; then
  rmdir "$disk"
  echo "cannot mount a small disk here: skipped"
  exit 77
fi
drive="$WINEPREFIX/dosdevices/q:"
rm -f "$drive"
ln -s "$disk" "$drive"
QUILLARVENT_FULL_DISK='Q:\' wine "$store_tests" --gtest_filter='*FullDisk*'
code=$?
rm -f "$drive"
umount "$disk"
rmdir "$disk"
exit $code

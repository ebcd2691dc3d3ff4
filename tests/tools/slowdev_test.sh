#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The slow device comes up with direct I/O, reads back what was written to
# it (and the bytes are in the backing file), and goes down leaving no loop
# device, mount, slowfs process or mount point behind.
#   slowdev_test.sh SLOWFS   (root and /dev/fuse; status 77 skips, not under CI=true)
set -euo pipefail
if [[ $(id -u) -ne 0 || ! -c /dev/fuse ]]; then
  [[ ${CI:-} != true ]] || { echo "slowdev_test: needs root and /dev/fuse under CI"; exit 1; }
  echo "slowdev_test: skipped (needs root and /dev/fuse)"
  exit 77
fi
export SLOWFS=$1
work=$(mktemp -d "${XTL_TEST_TMPDIR:-/var/tmp}/slowdev-XXXXXX")
export SLOWDEV_DIR=$work/state
# shellcheck source=scripts/slowdev.sh
source "$(dirname "$0")/../../scripts/slowdev.sh"
trap 'slowdev_down || true; rm -rf "$work"' EXIT

loop=$(slowdev_up "$work/back.img" 8M 80)
pid=$(cat "$SLOWDEV_DIR"/mnt-*.pid)
head -c 1M /dev/urandom >"$work/data"
dd if="$work/data" of="$loop" bs=64k seek=16 oflag=direct status=none
dd if="$loop" of="$work/read" bs=4k skip=256 count=256 iflag=direct status=none
cmp "$work/data" "$work/read"
cmp -n 1M -i 1M:0 "$work/back.img" "$work/data"

slowdev_down "$loop"
left=$(losetup -l -n -O NAME,BACK-FILE | grep -F "$work" || true)
left+=$(findmnt -rn -o TARGET | grep -F "$work" || true)
[[ ! -e $SLOWDEV_DIR ]] || left+=" $(ls -A "$SLOWDEV_DIR")"
! kill -0 "$pid" 2>/dev/null || left+=" slowfs $pid still runs"
[[ -z $left ]] || { echo "slowdev_test: left behind: $left"; exit 1; }
echo "slowdev_test: up, read back, down: ok"

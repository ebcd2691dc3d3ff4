#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds the two programs (not the tests), shows
# xtl-maint at work on a sparse image file in a temporary directory, and ends
# with a short vexbench run on another image file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# A user's build: warnings are not errors here unless the tree was configured
# so (scripts/build.sh, scripts/test.sh).
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target xtl-maint vexbench >/dev/null
maint=$root/build/maint/xtl-maint
bench=$root/build/bench/vexbench
work=$(mktemp -d /var/tmp/xtl-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
img=$work/xtl.img
truncate -s 1T "$img"
run() {
  echo "\$ xtl-maint $*"
  local rc=0
  "$maint" "$@" || rc=$?
  echo "(exit status $rc)"
  echo
}
run format "$img" --wtblksz=1024 -q
run status "$img"
run dump "$img" 0
run check "$img" 0 16
echo "image: sparse 1 TiB, $(du -k "$img" | cut -f1) KiB on disk"
echo

# A small log device: one segment whose two data sectors (1 and 2) hold XTL
# sectors 100 and 101, then its control sector (sector 3: one entry, 2 sectors,
# seq 1, "XTL-LOG 1.0"). Sector 0 is kept for the record the driver writes
# when the log wraps.
log=$work/log.img
truncate -s 32K "$log"
printf 'demo data for sector 100 and 101\n' | dd of="$log" bs=512 seek=1 conv=notrunc status=none
{
  printf '\x64\x00\x00\x00\x00\x00\x02\x00'   # TargetSector 100, SectorCnt 2, type 0
  head -c 456 /dev/zero
  printf '\x01\x00\x00\x00\x02\x00\x00\x00'   # NumEntries 1, NumSectors 2
  printf '\x01\x00\x00\x00\x00\x00\x00\x00'   # seq 1
  printf 'XTL-LOG 1.0\x00'
  head -c 20 /dev/zero
} | dd of="$log" bs=512 seek=3 conv=notrunc status=none
run log copy "$log" --tmpdir="$work"
run log disp --tmpdir="$work"

# vexbench on a 64 MiB image file: fill 16 MiB with stamped sectors, then
# random reads (each block checked against its stamps) and random writes of
# 4 KiB with 1 and 4 workers, one second counted per cell, with latency
# percentiles. About 15 seconds.
vb=$work/vb.img
truncate -s 64M "$vb"
echo "\$ vexbench -c -r -w --lat --size=16 --tm=1 --min=4096 --max=4096 --th1=1 --th2=4 --th3=0 vb.img"
rc=0
"$bench" -c -r -w --lat --size=16 --tm=1 --min=4096 --max=4096 --th1=1 --th2=4 --th3=0 "$vb" || rc=$?
echo "(exit status $rc)"
exit "$rc"

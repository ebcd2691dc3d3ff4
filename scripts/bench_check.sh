#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# xtl-maint check, measured side by side in one run:
#   - a sparse image with 1 MiB write blocks, WRITTEN of them filled with
#     sound write blocks (SEGS segments each, true checksums), on a loop device;
#   - write blocks checked per second;
#   - bytes the check read at the device (the loop device's sectors-read
#     counter) against the minimum, 4096 bytes per header visited (the header
#     block, two metadata blocks per written segment, one block per write
#     block never written); the ratio must stay at or below 1.1;
#   - the check's time next to dd reading the same number of 4 KiB blocks
#     (iflag=direct, one 4 KiB request each), with the device's cache
#     dropped before every run;
#   - xtl-maint image of the same device (the same walk, each block read also
#     written into a sparse file), its time against the check's in
#     alternating pairs (the median of the pairs' ratios), and its file's
#     allocated bytes against the metadata it read (at most 1.01).
# DEV=slow runs it all on the slow device instead (scripts/slowdev.sh: the
# image on tmpfs, every read answered after DELAY_US, default 80).
#   - reads in flight, PAIRS (default 5) alternating rounds, medians: check
#     at its default depth against fio (io_uring, depth 32, 4 KiB random
#     reads, fixed buffers and registered files) on the same device, its
#     reads per second (the loop device's read counter over its run) against
#     fio's IOPS (at least 0.8); its time against check --qd=1 (at most 0.5
#     on tmpfs, 0.15 on the slow device); and, with PREV (an earlier
#     xtl-maint, one block at a time), --qd=1's time against PREV's (within
#     2%).
# Usage: scripts/bench_check.sh [build dir]   (default build; needs root)
set -euo pipefail

BUILD=${1:-build}
BIN=$BUILD/maint/xtl-maint
FILL=$BUILD/tests/wtblk_fill
[[ -x $BIN && -x $FILL ]] || { echo "bench_check: build $BIN and $FILL first (scripts/build.sh)" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "bench_check: needs root for a loop device" >&2; exit 1; }
BIN=$(readlink -f "$BIN")

SIZE_MIB=${SIZE_MIB:-5120}   # 5119 write blocks after the first MiB
WRITTEN=${WRITTEN:-5000}
SEGS=${SEGS:-4}

DEV=${DEV:-tmpfs}
[[ $DEV == tmpfs || $DEV == slow ]] || { echo "bench_check: DEV is tmpfs or slow" >&2; exit 1; }
if [[ $DEV == slow ]]; then
  WORK=$(mktemp -d /dev/shm/xtl-bench-check-XXXXXX)
  export SLOWFS=${SLOWFS:-$(readlink -f "$BUILD/tests/slowfs")}
  # shellcheck source=scripts/slowdev.sh
  source "$(dirname "$0")/slowdev.sh"
else
  WORK=$(mktemp -d /dev/shm/xtl-bench-check-XXXXXX)
fi
LOOP=""
cleanup() {
  if [[ $DEV == slow ]]; then
    [[ -z $LOOP ]] || slowdev_down "$LOOP" || true
  else
    [[ -n $LOOP ]] && losetup -d "$LOOP" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
sectors_read() { awk '{ print $3 }' "/sys/block/$(basename "$LOOP")/stat"; }

read -r TOTAL METAS < <("$FILL" "$WORK/dev.img" "$SIZE_MIB" "$WRITTEN" "$SEGS")
if [[ $DEV == slow ]]; then
  LOOP=$(slowdev_up "$WORK/dev.img" 0 "${DELAY_US:-80}")
  NOTE=" (slow device, ${DELAY_US:-80} us a read)"
else
  LOOP=$(losetup --find --show "$WORK/dev.img")
fi
udevadm settle 2>/dev/null || true
HEADERS=$((1 + METAS + TOTAL - WRITTEN))
MIN_BYTES=$((HEADERS * 4096))

# One check run with the device cache dropped: prints "seconds bytes".
check_once() {
  local s0 s1 t0 t1 rc
  blockdev --flushbufs "$LOOP"
  s0=$(sectors_read)
  t0=$(now)
  rc=0
  "$BIN" check "$LOOP" >"$WORK/report" || rc=$?
  t1=$(now)
  s1=$(sectors_read)
  [[ $rc -eq 0 ]] || { echo "bench_check: check ended with status $rc" >&2; cat "$WORK/report" >&2; exit 1; }
  echo "$(secs "$t0" "$t1") $(((s1 - s0) * 512))"
}
dd_once() {
  local t0 t1
  blockdev --flushbufs "$LOOP"
  t0=$(now)
  dd if="$LOOP" of=/dev/null bs=4096 count="$HEADERS" iflag=direct status=none
  t1=$(now)
  secs "$t0" "$t1"
}

# One image run with the device cache dropped: prints "seconds allocated-bytes
# metadata-bytes"; the file goes at once.
image_once() {
  local t0 t1 meta alloc
  blockdev --flushbufs "$LOOP"
  t0=$(now)
  "$BIN" image "$LOOP" "$WORK/copy.img" >"$WORK/image.out"
  t1=$(now)
  meta=$(sed -nE 's/.* write blocks, ([0-9]+) bytes of metadata .*/\1/p' "$WORK/image.out")
  alloc=$(($(stat -c %b "$WORK/copy.img") * $(stat -c %B "$WORK/copy.img")))
  rm -f "$WORK/copy.img"
  echo "$(secs "$t0" "$t1") $alloc $meta"
}

best_check="" bytes="" best_dd="" image_ratios=""
for _ in 1 2 3; do
  read -r s b < <(check_once)
  read -r is alloc meta < <(image_once)
  image_ratios+="$(ratio "$is" "$s") "
  if [[ -z $best_check ]] || awk -v a="$s" -v b="$best_check" 'BEGIN { exit !(a < b) }'; then best_check=$s; fi
  bytes=$b
  d=$(dd_once)
  if [[ -z $best_dd ]] || awk -v a="$d" -v b="$best_dd" 'BEGIN { exit !(a < b) }'; then best_dd=$d; fi
done

echo "check of $TOTAL write blocks ($WRITTEN written, $SEGS segments each) on $LOOP${NOTE:-}:"
tail -n 1 "$WORK/report"
printf 'write blocks per second:   %.0f (best of 3: %s s)\n' \
  "$(awk -v n="$TOTAL" -v s="$best_check" 'BEGIN { print (s > 0 ? n / s : 0) }')" "$best_check"
echo "bytes read by the check:   $bytes"
echo "minimum (4096 x $HEADERS headers): $MIN_BYTES"
echo "read ratio:                $(ratio "$bytes" "$MIN_BYTES") (at most 1.10)"
echo "dd, $HEADERS x 4 KiB direct:  $best_dd s (best of 3)"
echo "check time / dd time:      $(ratio "$best_check" "$best_dd")"
echo "image time / check time:   $(tr ' ' '\n' <<<"$image_ratios" | grep . | sort -n | sed -n 2p) (median of 3 pairs: $image_ratios)"
echo "image allocated / read:    $(ratio "$alloc" "$meta") ($alloc of $meta bytes; at most 1.01)"
awk -v a="$alloc" -v b="$meta" 'BEGIN { exit !(a <= 1.01 * b) }' ||
  { echo "bench_check: the image took more than the metadata read + 1%" >&2; exit 1; }
awk -v a="$bytes" -v b="$MIN_BYTES" 'BEGIN { exit !(a <= 1.1 * b) }' ||
  { echo "bench_check: the check read more than 1.1 times the minimum" >&2; exit 1; }

# Reads in flight.
PAIRS=${PAIRS:-5}
reads_done() { awk '{ print $1 }' "/sys/block/$(basename "$LOOP")/stat"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
# BIN [args]: prints "seconds reads" of one check with the cache dropped.
timed_check() {
  local bin=$1 r0 r1 t0 t1 rc=0
  shift
  blockdev --flushbufs "$LOOP"
  r0=$(reads_done)
  t0=$(now)
  "$bin" check "$LOOP" "$@" >/dev/null || rc=$?
  t1=$(now)
  r1=$(reads_done)
  [[ $rc -eq 0 ]] || { echo "bench_check: check $* ended with status $rc" >&2; exit 1; }
  echo "$(secs "$t0" "$t1") $((r1 - r0))"
}
fio_iops() {
  blockdev --flushbufs "$LOOP"
  fio --name=depth32 --filename="$LOOP" --ioengine=io_uring --iodepth=32 --rw=randread --bs=4k \
    --fixedbufs=1 --registerfiles=1 --time_based --runtime="${FIO_SECONDS:-3}" \
    --output-format=json | python3 -c 'import json, sys; print(round(json.load(sys.stdin)["jobs"][0]["read"]["iops"]))'
}
command -v fio >/dev/null || { echo "bench_check: fio is missing (scripts/setup.sh)" >&2; exit 1; }
q_t="" q_rate="" one_t="" prev_t="" fio_r="" depth_ratio="" prev_ratio="" rate_ratio=""
# The run right after an io_uring run is the slower here, whichever it is,
# so --qd=1 and PREV take turns at coming first.
for round in $(seq "$PAIRS"); do
  read -r tq nq < <(timed_check "$BIN")
  f=$(fio_iops)
  if [[ -n ${PREV:-} && $((round % 2)) -eq 0 ]]; then read -r tp _ < <(timed_check "$PREV"); fi
  read -r t1 _ < <(timed_check "$BIN" --qd=1)
  if [[ -n ${PREV:-} && $((round % 2)) -eq 1 ]]; then read -r tp _ < <(timed_check "$PREV"); fi
  rate=$(awk -v n="$nq" -v s="$tq" 'BEGIN { printf "%.0f", n / s }')
  q_t+="$tq " one_t+="$t1 " fio_r+="$f " q_rate+="$rate "
  depth_ratio+="$(ratio "$tq" "$t1") " rate_ratio+="$(ratio "$rate" "$f") "
  [[ -z ${PREV:-} ]] || prev_t+="$tp " prev_ratio+="$(ratio "$t1" "$tp") "
done
m() { tr ' ' '\n' <<<"$1" | grep . | median; }
echo
echo "reads in flight, $PAIRS alternating rounds (medians; each round's ratio in brackets):"
echo "check, default depth:      $(m "$q_t") s, $(m "$q_rate") reads/s"
echo "fio io_uring, depth 32:    $(m "$fio_r") IOPS"
echo "check reads/s / fio IOPS:  $(m "$rate_ratio") ($rate_ratio; at least 0.8)"
echo "check --qd=1:              $(m "$one_t") s"
echo "default / --qd=1 time:     $(m "$depth_ratio") ($depth_ratio; at most 0.5 on tmpfs, 0.15 slow)"
if [[ -n ${PREV:-} ]]; then
  echo "earlier binary:            $(m "$prev_t") s"
  echo "--qd=1 / earlier time:     $(m "$prev_ratio") ($prev_ratio; within 2%)"
fi

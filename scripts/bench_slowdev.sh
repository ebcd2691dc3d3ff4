#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The slow device (scripts/slowdev.sh) against a plain loop device over the
# same tmpfs file, measured side by side in one run with fio: 4 KiB random
# reads, direct I/O, one at a time (psync, and io_uring at depth 1) and 32 at
# a time (io_uring at depth 32, fixed buffers and registered files). PAIRS
# rounds, each running every cell on both devices in turn, the order of the
# devices turning every round; medians of IOPS and of mean latency, and the
# depth-32 IOPS over the depth-1 IOPS of each device. The slow device should
# show about DELAY_US + 10..20 us at depth 1 and several times the IOPS at
# depth 32; the tmpfs loop device answers in a few microseconds.
# Usage: scripts/bench_slowdev.sh [build dir]   (default build; needs root, fio)
#   DELAY_US (80)  PAIRS (5)  RUNTIME (3 s a cell)  SIZE (1G)  SLOWFS_ARGS
set -euo pipefail

BUILD=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
export SLOWFS=${SLOWFS:-$(readlink -f "$BUILD/tests/slowfs")}
[[ -x $SLOWFS ]] || { echo "bench_slowdev: build $BUILD/tests/slowfs first (scripts/build.sh)" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "bench_slowdev: needs root" >&2; exit 1; }
command -v fio >/dev/null || { echo "bench_slowdev: needs fio (scripts/setup.sh)" >&2; exit 1; }
# shellcheck source=scripts/slowdev.sh
source "$here/slowdev.sh"

DELAY_US=${DELAY_US:-80}
PAIRS=${PAIRS:-5}
RUNTIME=${RUNTIME:-3}
SIZE=${SIZE:-1G}

WORK=$(mktemp -d /dev/shm/xtl-bench-slowdev-XXXXXX)
SLOW="" PLAIN=""
cleanup() {
  [[ -z $SLOW ]] || slowdev_down "$SLOW" || true
  [[ -z $PLAIN ]] || losetup -d "$PLAIN" || true
  rm -rf "$WORK"
}
trap cleanup EXIT

truncate -s "$SIZE" "$WORK/back.img"
dd if=/dev/urandom of="$WORK/back.img" bs=1M count=64 conv=notrunc status=none
SLOW=$(slowdev_up "$WORK/back.img" 0 "$DELAY_US")
PLAIN=$(losetup --find --show "$WORK/back.img")

CELLS=("psync 1" "io_uring 1" "io_uring 32")
# One cell: prints "IOPS MEAN_LATENCY_US" (fio's terse fields 8 and 40).
fio_cell() {
  local dev=$1 engine=$2 qd=$3 extra=()
  [[ $engine == io_uring ]] && extra=(--fixedbufs=1 --registerfiles=1)
  fio --name=cell --filename="$dev" --direct=1 --rw=randread --bs=4k --size=1G \
    --ioengine="$engine" --iodepth="$qd" "${extra[@]}" --runtime="$RUNTIME" --time_based \
    --output-format=terse --terse-version=3 | awk -F';' '{ print $8, $40 }'
}

declare -A iops lat
for ((r = 0; r < PAIRS; r++)); do
  devs=(slow plain)
  ((r % 2 == 0)) || devs=(plain slow)
  for cell in "${CELLS[@]}"; do
    for d in "${devs[@]}"; do
      dev=$SLOW
      [[ $d == plain ]] && dev=$PLAIN
      # shellcheck disable=SC2086  # the cell is the engine and the depth
      read -r i l < <(fio_cell "$dev" $cell)
      iops[$d,$cell]+="$i "
      lat[$d,$cell]+="$l "
    done
  done
done

# shellcheck disable=SC2086  # the runs, one argument each
med() { python3 "$here/benchstats.py" median $1; }
echo "4 KiB random reads, direct, median of $PAIRS alternating rounds of $RUNTIME s a cell"
echo "slow: $SLOW (slowfs, ${DELAY_US} us a read ${SLOWFS_ARGS:-}); tmpfs: $PLAIN"
printf '%-16s %12s %12s %12s %12s\n' cell "slow IOPS" "slow lat us" "tmpfs IOPS" "tmpfs lat us"
for cell in "${CELLS[@]}"; do
  printf '%-16s %12.0f %12.1f %12.0f %12.1f\n' "${cell/ / qd=}" "$(med "${iops[slow,$cell]}")" \
    "$(med "${lat[slow,$cell]}")" "$(med "${iops[plain,$cell]}")" "$(med "${lat[plain,$cell]}")"
done
for d in slow plain; do
  printf 'qd=32 / qd=1 io_uring IOPS, %-5s %s (runs: %s/ %s)\n' "$d:" \
    "$(python3 "$here/benchstats.py" ratio "$(med "${iops[$d,io_uring 32]}")" "$(med "${iops[$d,io_uring 1]}")")" \
    "${iops[$d,io_uring 32]}" "${iops[$d,io_uring 1]}"
done

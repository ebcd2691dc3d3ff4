#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times the de-dupe and compression format's reserve search next to a plain
# format of the same small image, in one run, and prints the ratio.
#
#   scripts/bench_format.sh [path/to/xtl-maint] [devsz-MiB] [runs]
#
# The binary is not built here. --devsz= (default 50331648 MiB = 48 TiB) sits
# near the largest size the PBA size classes admit with the default 2 MiB
# write block; the two-volume format takes it as given, so the image itself
# stays small (64 MiB, sparse). Each format runs `runs` times (default 3);
# the best time of each is used.
set -euo pipefail

bin=${1:-build/maint/xtl-maint}
devsz=${2:-50331648}
runs=${3:-3}
[[ -x $bin ]] || { echo "bench_format: no executable at $bin" >&2; exit 1; }

work=$(mktemp -d /var/tmp/xtl-bench-format-XXXXXX)
trap 'rm -rf "$work"' EXIT
img=$work/bench.img
truncate -s 64M "$img"

# best_ns <output-file> <args...>: best wall time in nanoseconds over $runs runs.
best_ns() {
  local out=$1; shift
  local best=0 t0 t1 dt i
  for ((i = 0; i < runs; i++)); do
    t0=$(date +%s%N)
    "$bin" "$@" >"$out" 2>&1 || { echo "bench_format: '$bin $*' failed:" >&2; cat "$out" >&2; exit 1; }
    t1=$(date +%s%N)
    dt=$((t1 - t0))
    if ((best == 0 || dt < best)); then best=$dt; fi
  done
  echo "$best"
}

ddc_ns=$(best_ns "$work/ddc.out" format "$img" --autovm --dedupe=200 --comp=200 -q --devsz="$devsz")
plain_ns=$(best_ns "$work/plain.out" format "$img" -q)

# The reserve: the data volume starts right after it. Its offset in sectors
# is on the first Off0 line; a write block is the WtBlkSz line's KiB x 2 sectors.
off0=$(awk '/Off0 *=/ { print $3; exit }' "$work/ddc.out")
wtblk_k=$(awk '/WtBlkSz = *[0-9]+ K/ { print $3; exit }' "$work/ddc.out")
reserve=$((off0 / (wtblk_k * 2)))
datasz=$(awk '/DataSz = .*WtBlks/ { print $3; exit }' "$work/ddc.out")
steps=$((reserve + 1))  # i = 0 .. reserve

echo "image:        $img (64 MiB sparse), --devsz=$devsz MiB, best of $runs"
echo "reserve:      $reserve write blocks of $wtblk_k KiB (data volume $datasz write blocks; $steps search steps)"
awk -v ns="$ddc_ns" 'BEGIN { printf "autovm time: %10.3f ms  (format --autovm --dedupe=200 --comp=200 -q)\n", ns / 1e6 }'
awk -v ns="$plain_ns" 'BEGIN { printf "plain time:  %10.3f ms  (format -q)\n", ns / 1e6 }'
awk -v a="$ddc_ns" -v b="$plain_ns" 'BEGIN { printf "ratio:       %10.1f  (autovm / plain)\n", a / b }'

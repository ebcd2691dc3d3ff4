#!/bin/bash
# Correctness checks and a side-by-side speed comparison of vexbench on a loop
# device (run as root):
#   (a) a fill followed by a verifying read reports no "read data err"
#   (b) a read test of an unfilled device reports the error from every worker
#       and 0 IOPS (and ends with status 1)
#   (c) one sector corrupted after the fill is reported by the verifying read
#   (d) with --coll=1 and --coll=2 each worker touches only its own zone or its
#       own blocks (the Seek unit tests)
#   (e) IOPS of vexbench and of fio (ioengine=psync, direct=1) on the grid
#       {4 KiB, 64 KiB, 1 MiB} x {1, 10 workers} x {random read, random write},
#       median of REPS alternating runs each, printed as the ratio vexbench/fio
#   (f) each vexbench run's count against the loop device's own counters
#       (/sys/block/loopN/stat): the sectors the kernel completed while the
#       window was open, as transfers of the block size, within 2% of
#       vexbench's IOPS (median per cell)
#   (g) vexbench's p50/p99 (--lat) next to fio's completion-latency
#       percentiles on the same cells
#   (h) the cost of --lat: IOPS with --lat over IOPS without it on the
#       4 KiB x 10 worker read cell, median of REPS alternating runs each
# The device is a loop device over a file on a tmpfs mount of its own, so
# the figures show the CPU cost of each tool rather than a disk.
#
# Usage: scripts/bench_vexbench.sh [build-dir]   (default: build)
# Both tools run at the same raised priority (nice -10) so that other load on
# the host disturbs them less; the load average is printed before and after.
# Environment: TM (seconds per cell, default 4), SIZE_MB (tested size,
# default 256), REPS (runs per tool and cell, alternating; the median of each
# tool is compared, default 3).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
TM=${TM:-4}
SIZE_MB=${SIZE_MB:-256}
REPS=${REPS:-3}
VEXBENCH=$BUILD/bench/vexbench
UNIT=$(find "$BUILD" -name bench_unit_tests -type f -perm -u+x 2>/dev/null | head -1)

if [ "$(id -u)" != 0 ]; then
  echo "needs root (loop devices)" >&2
  exit 1
fi
if [ ! -x "$VEXBENCH" ] || [ -z "$UNIT" ]; then
  echo "building vexbench and its unit tests in $BUILD"
  cmake -S "$ROOT" -B "$BUILD" >/dev/null &&
    cmake --build "$BUILD" -j2 --target vexbench bench_unit_tests >/dev/null || exit 1
  UNIT=$(find "$BUILD" -name bench_unit_tests -type f -perm -u+x | head -1)
fi
if ! command -v fio >/dev/null; then
  echo "installing fio"
  apt-get install -y fio >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y fio >/dev/null; } || exit 1
fi

MNT=$(mktemp -d /var/tmp/vexbench-bench-XXXXXX)
IMG=$MNT/img
DEV=""
MOUNTED=""
WORK=$(mktemp -d /tmp/vexbench-bench-work-XXXXXX)
cleanup() {
  [ -n "$DEV" ] && losetup -d "$DEV"
  [ -n "$MOUNTED" ] && umount "$MNT"
  rmdir "$MNT"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mount -t tmpfs -o size=$((SIZE_MB + 80))M tmpfs "$MNT" && MOUNTED=1 || exit 1
truncate -s $((SIZE_MB + 64))M "$IMG"
for try in 1 2 3 4 5; do
  DEV=$(losetup -f --show "$IMG" 2>/dev/null) && break
  DEV=""
  sleep 1
done
[ -n "$DEV" ] || { echo "no loop device" >&2; exit 1; }
STAT=/sys/block/$(basename "$DEV")/stat
echo "device $DEV over $IMG (tmpfs), tested size $SIZE_MB MiB, $TM s per cell"

FAILS=0
check() {  # check NAME CONDITION-RESULT(0 ok) DETAIL
  if [ "$2" = 0 ]; then echo "PASS ($1) $3"; else echo "FAIL ($1) $3"; FAILS=$((FAILS + 1)); fi
}
# (b) unfilled device
out=$("$VEXBENCH" -r --tm=1 --min=4096 --max=4096 --th1=4 --th2=0 --th3=0 --size="$SIZE_MB" "$DEV")
st=$?
errs=$(grep -c "read data err" <<<"$out")
iops=$(grep -E '^\|' <<<"$out" | awk '{print $2}')
[ "$errs" = 4 ] && [ "$iops" = 0 ] && [ "$st" = 1 ]
check b $? "unfilled read: $errs of 4 workers report \"read data err\", IOPS $iops, status $st"

# (a) fill, then verifying read
out=$("$VEXBENCH" -c -r --tm=1 --min=4096 --max=65536 --th1=1 --th2=4 --th3=0 --size="$SIZE_MB" "$DEV")
st=$?
errs=$(grep -c "read data err" <<<"$out")
rows=$(grep -cE '^ *[0-9]+K \|' <<<"$out")
[ "$errs" = 0 ] && [ "$st" = 0 ] && [ "$rows" = 5 ]
check a $? "fill then verifying read: $errs \"read data err\", $rows rows, status $st"

# (c) corrupt sector 809 (block 101 of 4 KiB) and read the first MiB again
head -c 512 /dev/zero | tr '\0' 'X' | dd of="$DEV" bs=512 seek=809 count=1 oflag=direct conv=notrunc status=none
out=$("$VEXBENCH" -r --tm=1 --min=4096 --max=4096 --th1=1 --th2=0 --th3=0 --size=1 "$DEV")
st=$?
line=$(grep -o "read data err.*" <<<"$out" | head -1)
[ "$line" = "read data err 6365935209750747224 809/101  5858585858585858 329" ] && [ "$st" = 1 ]
check c $? "corrupted sector: \"$line\", status $st"

# (d) Seek: zones and dealing
"$UNIT" --gtest_filter='BenchIoTest.Seek*' >/tmp/vexbench-seek.$$ 2>&1
st=$?
n=$(grep -c '^\[       OK \] BenchIoTest.Seek' /tmp/vexbench-seek.$$)
rm -f /tmp/vexbench-seek.$$
check d $st "Seek: $n unit tests (rule 0 alignment, rule 1 zones, rule 2 dealing, other rules, failure)"

# (e) to (h) side by side with fio; the device is filled again for the
# verifying reads
"$VEXBENCH" -c --size="$SIZE_MB" "$DEV" >/dev/null || { echo "refill failed"; exit 1; }

now() { date +%s.%N; }
sleep_until() { sleep "$(awk -v t="$1" -v n="$(now)" 'BEGIN { d = t - n; printf "%.3f", (d > 0 ? d : 0) }')"; }
sectors() { awk -v f="$1" '{ print $f }' "$STAT"; }  # 3: sectors read, 7: written

# vex RW BLKSZ WORKERS JSON [extra...]: one cell; prints "IOPS KERNEL-RATE".
# The run is started just after a second boundary: vexbench waits for the
# next one (S), warms up for 1 s and counts from S + 1 to S + 1 + TM. The
# kernel's sectors are read at S + 1.25 and S + TM + 0.75, inside the window.
vex() {
  local rw=$1 bs=$2 th=$3 json=$4 field=3 S c1 c2 t1 t2 pid
  shift 4
  [ "$rw" = write ] && field=7
  sleep_until "$(awk -v n="$(now)" 'BEGIN { printf "%.3f", int(n) + 1.05 }')"
  S=$(($(date +%s) + 1))
  nice -n -10 "$VEXBENCH" "-${rw:0:1}" --tm="$TM" --min="$bs" --max="$bs" --th1="$th" --th2=0 \
    --th3=0 --size="$SIZE_MB" --json="$json" "$@" "$DEV" >/dev/null &
  pid=$!
  sleep_until "$((S + 1)).25"
  c1=$(sectors $field)
  t1=$(now)
  sleep_until "$((S + TM)).75"
  c2=$(sectors $field)
  t2=$(now)
  wait $pid
  echo "$(jq '.cells[0].iops' "$json") $(awk -v a="$c1" -v b="$c2" -v t1="$t1" -v t2="$t2" -v bs="$bs" \
    'BEGIN { printf "%.0f", (b - a) * 512 / bs / (t2 - t1) }')"
}
# fio_cell RW BLKSZ JOBS: prints "IOPS P50-US P99-US" (completion latency)
fio_cell() {
  nice -n -10 fio --name=cmp --filename="$DEV" --ioengine=psync --direct=1 --rw="rand$1" --bs="$2" \
    --numjobs="$3" --size="${SIZE_MB}M" --time_based --runtime="$TM" --ramp_time=1 \
    --norandommap --randrepeat=0 --group_reporting --output-format=json 2>/dev/null |
    jq -r ".jobs[0].$1 | \"\(.iops | floor) \(.clat_ns.percentile[\"50.000000\"] / 1000) \(.clat_ns.percentile[\"99.000000\"] / 1000)\""
}
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }'; }

echo
echo "IOPS side by side (median of $REPS runs each, alternating), ratio vexbench/fio;"
echo "kernel: the loop device's completed sectors in the window, as transfers per second;"
echo "latency: vexbench --lat (one run) and fio clat percentiles, microseconds"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
printf "%-5s %5s %3s | %8s %8s %6s | %8s %6s | %8s %8s %8s %8s\n" test block th vexbench fio ratio \
  kernel dev vex-p50 fio-p50 vex-p99 fio-p99
worst=""
kern_bad=0
for rw in read write; do
  for bs in 4096 65536 1048576; do
    for th in 1 10; do
      v="" f="" k="" fl=""
      for rep in $(seq "$REPS"); do
        read -r vi ki < <(vex $rw $bs $th "$WORK/v.json")
        v="$v $vi"
        k="$k $(awk -v a="$vi" -v b="$ki" 'BEGIN { if (b > 0) printf "%.4f", a / b - 1; else print 9 }')"
        read -r fi fp50 fp99 < <(fio_cell $rw $bs $th)
        f="$f $fi"
      done
      vex $rw $bs $th "$WORK/l.json" --lat >/dev/null
      vp50=$(jq '.cells[0].latency_us.p50' "$WORK/l.json")
      vp99=$(jq '.cells[0].latency_us.p99' "$WORK/l.json")
      vb=$(tr ' ' '\n' <<<"$v" | grep . | median)
      fb=$(tr ' ' '\n' <<<"$f" | grep . | median)
      kd=$(tr ' ' '\n' <<<"$k" | grep . | median)
      r=$(ratio "$vb" "$fb")
      kb=$(awk -v v="$vb" -v d="$kd" 'BEGIN { printf "%.0f", v / (1 + d) }')
      printf "%-5s %5s %3s | %8s %8s %6s | %8s %5.1f%% | %8.1f %8.1f %8.1f %8.1f\n" $rw $((bs / 1024))K $th \
        "$vb" "$fb" "$r" "$kb" "$(awk -v d="$kd" 'BEGIN { print d * 100 }')" "$vp50" "$fp50" "$vp99" "$fp99"
      awk -v d="$kd" 'BEGIN { exit (d <= 0.02 && d >= -0.02) ? 0 : 1 }' || kern_bad=$((kern_bad + 1))
      worst=$(awk -v w="${worst:-9}" -v r="$r" 'BEGIN { print (r != "n/a" && r < w) ? r : w }')
    done
  done
done
echo "lowest ratio: $worst (aim: at least 0.97)"
[ "$kern_bad" = 0 ]
check f $? "vexbench's IOPS within 2% of the kernel's count on every cell ($kern_bad off)"

# (h) the cost of --lat, side by side (quick reads: fio has written over the
# stamps by now)
p="" l=""
for rep in $(seq "$REPS"); do
  p="$p $(vex read 4096 10 "$WORK/p.json" -q | cut -d' ' -f1)"
  l="$l $(vex read 4096 10 "$WORK/l.json" -q --lat | cut -d' ' -f1)"
done
pm=$(tr ' ' '\n' <<<"$p" | grep . | median)
lm=$(tr ' ' '\n' <<<"$l" | grep . | median)
echo "--lat on 4K x 10 workers, reads: IOPS $lm with, $pm without: ratio $(ratio "$lm" "$pm") (aim: at least 0.97)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
if [ "$FAILS" = 0 ]; then echo "correctness checks: all passed"; else echo "correctness checks: $FAILS failed"; fi
[ "$FAILS" = 0 ]

#!/bin/bash
# Correctness checks and a side-by-side speed comparison of vexbench on a loop
# device (run as root):
#   (a) a fill followed by a verifying read reports no "read data err"
#   (b) a read test of an unfilled device reports the error from every worker
#       and 0 IOPS (and ends with status 1)
#   (c) one sector corrupted after the fill is reported by the verifying read
#   (d) with --coll=1 and --coll=2 each worker touches only its own zone or its
#       own blocks (the Seek unit tests)
#   (e) IOPS of vexbench and of fio (ioengine=psync, direct=1) for 4 KiB and
#       64 KiB blocks with 1 and 10 workers, random reads and random writes,
#       printed as the ratio vexbench/fio
#
# Usage: scripts/bench_vexbench.sh [build-dir]   (default: build)
# Both tools run at the same raised priority (nice -10) so that other load on
# the host disturbs them less; single-worker cells on a loop device still
# depend on how soon the loop worker thread gets a CPU, so run this on a quiet
# host for figures worth comparing.
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

IMG=$(mktemp /var/tmp/vexbench-bench-XXXXXX)
DEV=""
cleanup() {
  [ -n "$DEV" ] && losetup -d "$DEV"
  rm -f "$IMG"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

truncate -s $((SIZE_MB + 64))M "$IMG"
for try in 1 2 3 4 5; do
  DEV=$(losetup -f --show "$IMG" 2>/dev/null) && break
  DEV=""
  sleep 1
done
[ -n "$DEV" ] || { echo "no loop device" >&2; exit 1; }
echo "device $DEV over $IMG, tested size $SIZE_MB MiB, $TM s per cell"

FAILS=0
check() {  # check NAME CONDITION-RESULT(0 ok) DETAIL
  if [ "$2" = 0 ]; then echo "PASS ($1) $3"; else echo "FAIL ($1) $3"; FAILS=$((FAILS + 1)); fi
}
# IOPS of the first table row of a vexbench output
row_iops() { grep -E '^ *[0-9]+[BKM] ' | head -1 | sed 's/^[^|]*|//' | awk '{print $1}'; }
one_cell() {  # one_cell -r|-w BLKSZ WORKERS [extra...]
  local rw=$1 bs=$2 th=$3
  shift 3
  nice -n -10 "$VEXBENCH" "$rw" --tm="$TM" --min="$bs" --max="$bs" --th1="$th" --th2=0 --th3=0 \
    --size="$SIZE_MB" "$@" "$DEV"
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

# (e) side by side with fio; the device is filled again for the verifying reads
"$VEXBENCH" -c --size="$SIZE_MB" "$DEV" >/dev/null || { echo "refill failed"; exit 1; }
fio_iops() {  # fio_iops randread|randwrite BLKSZ JOBS
  nice -n -10 fio --name=cmp --filename="$DEV" --ioengine=psync --direct=1 --rw="$1" --bs="$2" \
    --numjobs="$3" --size="${SIZE_MB}M" --time_based --runtime="$TM" --ramp_time=1 \
    --norandommap --randrepeat=0 --group_reporting --output-format=json 2>/dev/null |
    jq -r "if \"$1\" == \"randread\" then .jobs[0].read.iops else .jobs[0].write.iops end | floor"
}
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo
echo "IOPS side by side (median of $REPS runs each, alternating), ratio vexbench/fio;"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
printf "%-6s %6s %8s %10s %10s %7s\n" test block workers vexbench fio ratio
worst=""
for rw in read write; do
  for bs in 4096 65536; do
    for th in 1 10; do
      v=""
      f=""
      for rep in $(seq "$REPS"); do
        if [ $rw = read ]; then
          v="$v $(one_cell -r $bs $th | row_iops)"
          f="$f $(fio_iops randread $bs $th)"
        else
          v="$v $(one_cell -w $bs $th | row_iops)"
          f="$f $(fio_iops randwrite $bs $th)"
        fi
      done
      vb=$(tr ' ' '\n' <<<"$v" | grep . | median)
      fb=$(tr ' ' '\n' <<<"$f" | grep . | median)
      ratio=$(awk -v a="$vb" -v b="$fb" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }')
      printf "%-6s %6s %8s %10s %10s %7s\n" $rw $((bs / 1024))K $th "$vb" "$fb" "$ratio"
      worst=$(awk -v w="${worst:-9}" -v r="$ratio" 'BEGIN { print (r != "n/a" && r < w) ? r : w }')
    done
  done
done
echo "lowest ratio: $worst (aim: at least 0.95); load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
if [ "$FAILS" = 0 ]; then echo "correctness checks: all passed"; else echo "correctness checks: $FAILS failed"; fi
[ "$FAILS" = 0 ]

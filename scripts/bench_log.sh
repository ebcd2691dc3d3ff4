#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Log tool throughput, measured side by side in one run and printed as ratios:
#   log scan  of 512 MiB and 1 GiB temp files whose only segments lie near
#             their start (so the scan reads the whole file backward), against
#             cat FILE >/dev/null, on tmpfs (/dev/shm) and on an ext4 file
#             system on a loop device backed by a file under /var/tmp (and, for
#             scale, dd reading 512-byte sectors one system call each);
#   log copy  against dd copying the same file in 1 MiB pieces;
#   log clear against dd writing 4 MiB pieces, each synced (oflag=dsync);
#   --undo=   the cost of an undo file: log clear of a 1 GiB log device (its
#             first UNDO_FULL_MB MiB random, the rest zero) and log post of a
#             64 MiB log (32 segments of 4095 sectors onto random old data),
#             each against the same command without --undo=, in UNDO_RUNS
#             alternating pairs, medians (UNDO_ONLY=1: only these rows).
# Usage: scripts/bench_log.sh [path/to/xtl-maint]   (default build/maint/xtl-maint)
# Files go under /var/tmp and /dev/shm; the loop devices (scan's file system,
# clear's target) need root, else the scan's disk case runs on /var/tmp itself
# and clear on an image file. Everything is removed at the end.
set -euo pipefail

BIN=${1:-build/maint/xtl-maint}
[[ -x $BIN ]] || { echo "bench_log: no executable at $BIN" >&2; exit 1; }
BIN=$(readlink -f "$BIN")

WORK=$(mktemp -d /var/tmp/xtl-bench-log-XXXXXX)
SHM=$(mktemp -d /dev/shm/xtl-bench-log-XXXXXX)
LOOP=""
FSLOOP=""
cleanup() {
  [[ -n $FSLOOP ]] && { umount "$WORK/mnt" 2>/dev/null; losetup -d "$FSLOOP" 2>/dev/null; } || true
  [[ -n $LOOP ]] && losetup -d "$LOOP" 2>/dev/null || true
  rm -rf "$WORK" "$SHM"
}
trap cleanup EXIT

SCAN_SIZES_MB="512 1024"
COPY_MB=256
CLEAR_MB=256

now() { date +%s%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# Best of three runs of a command, in seconds.
best3() {
  local best="" t0 t1 s
  for _ in 1 2 3; do
    t0=$(now); "$@" >/dev/null 2>&1; t1=$(now)
    s=$(secs "$t0" "$t1")
    if [[ -z $best ]] || awk -v a="$s" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$s; fi
  done
  echo "$best"
}

# Best of three runs of a command: "wall cpu" in seconds, each the least of
# its three (cpu: user and system time of the command, which a loaded machine
# disturbs far less than the wall clock).
best3t() {
  local bw="" bc="" w u s c
  for _ in 1 2 3; do
    read -r w u s < <({ TIMEFORMAT='%3R %3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1)
    c=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.3f", u + s }')
    if [[ -z $bw ]] || awk -v a="$w" -v b="$bw" 'BEGIN { exit !(a < b) }'; then bw=$w; fi
    if [[ -z $bc ]] || awk -v a="$c" -v b="$bc" 'BEGIN { exit !(a < b) }'; then bc=$c; fi
  done
  echo "$bw $bc"
}

# Little-endian bytes of a number as printf escapes.
le() {
  local v=$1 n=$2 out="" i
  for ((i = 0; i < n; i++)); do
    out+=$(printf '\\x%02x' $((v & 255)))
    v=$((v >> 8))
  done
  printf '%s' "$out"
}
# Writes a control sector with one type-0 entry of cnt sectors at sector ctl.
put_segment() {
  local file=$1 ctl=$2 seq=$3 target=$4 cnt=$5 sec
  sec=$(le $((target | (cnt << 48))) 8)
  sec+=$(printf '\\x00%.0s' $(seq 1 $((448 - 8 + 16))))
  sec+=$(le 1 4)$(le "$cnt" 4)$(le "$seq" 8)
  sec+='XTL-LOG 1.0\x00'
  sec+=$(printf '\\x00%.0s' $(seq 1 20))
  printf "$sec" | dd of="$file" bs=512 seek="$ctl" conv=notrunc status=none
}

echo "xtl-maint log benchmark ($BIN), files under $WORK"

# --- --undo= ----------------------------------------------------------------
UNDO_RUNS=${UNDO_RUNS:-5}
UNDO_FULL_MB=${UNDO_FULL_MB:-128}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# One timed run of a command after a set-up command: seconds.
timed() {  # setup cmd...
  local t0 t1
  eval "$1"
  t0=$(now); "${@:2}" >/dev/null 2>&1 || { echo "bench_log: ${*:2} failed" >&2; exit 1; }; t1=$(now)
  secs "$t0" "$t1"
}
# Alternating pairs of the command without and with --undo=FILE; prints
# "plain-median undo-median undo-file-bytes".
undo_pairs() {  # setup cmd...
  local i a b plain=() with=()
  for ((i = 0; i < UNDO_RUNS; i++)); do
    if ((i % 2)); then  # the order turns every pair
      b=$(timed "$1; rm -f $WORK/u.undo" "${@:2}" --undo="$WORK/u.undo")
      a=$(timed "$1" "${@:2}")
    else
      a=$(timed "$1" "${@:2}")
      b=$(timed "$1; rm -f $WORK/u.undo" "${@:2}" --undo="$WORK/u.undo")
    fi
    plain+=("$a"); with+=("$b")
  done
  echo "$(printf '%s\n' "${plain[@]}" | median) $(printf '%s\n' "${with[@]}" | median) $(stat -c %s "$WORK/u.undo")"
}
attach() { if [[ $(id -u) == 0 ]]; then losetup --find --show "$1"; else echo "$1"; fi; }
# log clear of 1 GiB
truncate -s 1G "$WORK/uclear.img"
dd if=/dev/urandom of="$WORK/uclear.img" bs=1M count="$UNDO_FULL_MB" conv=notrunc status=none
cp --sparse=always "$WORK/uclear.img" "$WORK/uclear.orig"
UDEV=$(attach "$WORK/uclear.img")
UCLEAR=$(undo_pairs "dd if=$WORK/uclear.orig of=$UDEV bs=1M count=$UNDO_FULL_MB conv=notrunc,fsync status=none" \
  "$BIN" log clear "$UDEV" --force)
[[ $UDEV == /dev/* ]] && losetup -d "$UDEV"
rm -f "$WORK/uclear.img" "$WORK/uclear.orig"
# log post of 64 MiB: segments back to back from sector 1, random data
dd if=/dev/urandom of="$WORK/ulog.img" bs=1M count=65 status=none
for i in $(seq 0 31); do put_segment "$WORK/ulog.img" $((4096 * (i + 1))) $((100 + i)) $((i * 4095)) 4095; done
mkdir -p "$WORK/utmp"
"$BIN" log copy "$WORK/ulog.img" --tmpdir="$WORK/utmp" | grep -q 'num segments = 32' || { echo "bench_log: the post log did not scan" >&2; exit 1; }
dd if=/dev/urandom of="$WORK/upost.orig" bs=1M count=80 status=none
cp "$WORK/upost.orig" "$WORK/upost.img"
UDEV=$(attach "$WORK/upost.img")
UPOST=$(undo_pairs "dd if=$WORK/upost.orig of=$UDEV bs=4M conv=notrunc,fsync status=none" \
  "$BIN" log post "$UDEV" --tmpdir="$WORK/utmp" --force)
[[ $UDEV == /dev/* ]] && losetup -d "$UDEV"
rm -rf "$WORK/ulog.img" "$WORK/upost.orig" "$WORK/upost.img" "$WORK/utmp"
undo_rows() {
  local p w b
  read -r p w b <<<"$UCLEAR"
  printf '%-44s %9ss %9ss %8s\n' "log clear, 1 GiB, --undo= vs without" "$w" "$p" "$(ratio "$w" "$p")"
  printf '%-44s %10s\n' "  undo file ($UNDO_FULL_MB MiB non-zero)" "$((b / 1048576)) MiB"
  read -r p w b <<<"$UPOST"
  printf '%-44s %9ss %9ss %8s\n' "log post, 64 MiB log, --undo= vs without" "$w" "$p" "$(ratio "$w" "$p")"
  printf '%-44s %10s\n' "  undo file" "$((b / 1048576)) MiB"
  echo "(medians of $UNDO_RUNS alternating pairs; ratio = with --undo= / without)"
}
if [[ ${UNDO_ONLY:-0} == 1 ]]; then echo; undo_rows; exit 0; fi

# --- scan -----------------------------------------------------------------
# A temp file of $2 MiB in directory $1 with 16 segments near its start; prints
# "scan-wall scan-cpu cat-wall cat-cpu" (best of three, page cache warm for both).
scan_vs_cat() {
  local dir=$1 mb=$2 t_s t_c
  mkdir -p "$dir"
  dd if=/dev/zero of="$dir/xtl.log" bs=1M count="$mb" status=none
  for i in $(seq 0 15); do put_segment "$dir/xtl.log" $((9 + i * 9)) $((100 + i)) $((1000 + i * 8)) 8; done
  chmod 0400 "$dir/xtl.log"
  "$BIN" log scan --tmpdir="$dir" | grep -q 'num segments = 16' || { echo "bench_log: scan of $dir failed" >&2; exit 1; }
  cat "$dir/xtl.log" >/dev/null
  t_s=$(best3t "$BIN" log scan --tmpdir="$dir")
  t_c=$(best3t cat "$dir/xtl.log")
  echo "$t_s $t_c"
}
DISK=$WORK
DISKNAME="/var/tmp (no loop: not root, or no mkfs.ext4)"
if [[ $(id -u) == 0 ]] && command -v mkfs.ext4 >/dev/null; then
  truncate -s 1600M "$WORK/fs.img"
  mkfs.ext4 -q -F "$WORK/fs.img"
  FSLOOP=$(losetup --find --show "$WORK/fs.img")
  mkdir -p "$WORK/mnt"
  mount "$FSLOOP" "$WORK/mnt"
  DISK=$WORK/mnt
  DISKNAME="ext4 on loop"
fi
SCAN_ROWS=()
for mb in $SCAN_SIZES_MB; do
  SCAN_ROWS+=("tmpfs $mb $(scan_vs_cat "$SHM/s$mb" "$mb")"); rm -rf "$SHM/s$mb"
  SCAN_ROWS+=("disk $mb $(scan_vs_cat "$DISK/s$mb" "$mb")"); rm -rf "$DISK/s$mb"
done
SCANDIR=$WORK/scan
mkdir -p "$SCANDIR"
TMPLOG=$SCANDIR/xtl.log
SCAN_MB=1024
dd if=/dev/zero of="$TMPLOG" bs=1M count=$SCAN_MB status=none
cat "$TMPLOG" >/dev/null
t_scan=$(best3 "$BIN" log scan --tmpdir="$SCANDIR")
t0=$(now); dd if="$TMPLOG" of=/dev/null bs=512 count=$((64 * 2048)) status=none; t1=$(now)
t_sect=$(awk -v s="$(secs "$t0" "$t1")" -v mb=$SCAN_MB 'BEGIN { printf "%.3f", s * mb / 64 }')
rm -f "$TMPLOG"

# --- copy -----------------------------------------------------------------
COPYDIR=$WORK/copy
mkdir -p "$COPYDIR"
SRC=$WORK/logdev.img
dd if=/dev/zero of="$SRC" bs=1M count=$COPY_MB status=none
for i in $(seq 0 15); do put_segment "$SRC" $((9 + i * 9)) $((100 + i)) $((1000 + i * 8)) 8; done
cat "$SRC" >/dev/null
t_copy=$(best3 "$BIN" log copy "$SRC" --tmpdir="$COPYDIR")
t_ddcopy=$(best3 dd if="$SRC" of="$COPYDIR/dd.out" bs=1M status=none)
# log copy also scans the copy it made; shown so the copy's own share is clear.
t_copyscan=$(best3 "$BIN" log scan --tmpdir="$COPYDIR")

# --- clear ----------------------------------------------------------------
DEVIMG=$WORK/clear.img
dd if=/dev/zero of="$DEVIMG" bs=1M count=$CLEAR_MB status=none
TARGET=$DEVIMG
if [[ $(id -u) == 0 ]] && LOOP=$(losetup --find --show "$DEVIMG" 2>/dev/null); then
  TARGET=$LOOP
fi
t_clear=$(best3 "$BIN" log clear "$TARGET")
t_ddclear=$(best3 dd if=/dev/zero of="$TARGET" bs=4M count=$((CLEAR_MB / 4)) oflag=dsync conv=notrunc status=none)

mbps() { awk -v mb="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f MiB/s", mb / s; else print "n/a" }'; }
echo
printf '%-44s %10s %10s %8s\n' "operation" "xtl-maint" "reference" "ratio"
for row in "${SCAN_ROWS[@]}"; do
  read -r medium mb sw sc cw cc <<<"$row"
  printf '%-44s %9ss %9ss %8s\n' "log scan, $mb MiB on $medium vs cat, wall" "$sw" "$cw" "$(ratio "$sw" "$cw")"
  printf '%-44s %9ss %9ss %8s\n' "                           user+system" "$sc" "$cc" "$(ratio "$sc" "$cc")"
done
printf '%-44s %9ss %9ss %8s\n' "log scan, 1 GiB vs dd bs=512 (one call/sector)" "$t_scan" "$t_sect" "$(ratio "$t_scan" "$t_sect")"
printf '%-44s %9ss %9ss %8s\n' "log copy, $COPY_MB MiB vs dd bs=1M (+scan below)" "$t_copy" "$t_ddcopy" "$(ratio "$t_copy" "$t_ddcopy")"
printf '%-44s %9ss %9s %8s\n' "  of which the scan of the copy" "$t_copyscan" "" ""
printf '%-44s %9ss %9ss %8s\n' "log clear, $CLEAR_MB MiB vs dd bs=4M oflag=dsync" "$t_clear" "$t_ddclear" "$(ratio "$t_clear" "$t_ddclear")"
printf '%-44s %10s %10s\n' "  throughput" "$(mbps $COPY_MB "$t_copy")" "$(mbps $COPY_MB "$t_ddcopy")"
printf '%-44s %10s %10s\n' "  clear throughput" "$(mbps $CLEAR_MB "$t_clear")" "$(mbps $CLEAR_MB "$t_ddclear")"
undo_rows
echo "(disk: $DISKNAME; clear target: $TARGET; ratio = xtl-maint time / reference time,"
echo " lower is faster; the scan keeps 0.8 of cat's speed while its ratio is 1.25 or less)"

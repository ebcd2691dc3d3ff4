#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A block device with flash-like read latency for the benchmarks: a loop
# device with direct I/O over the one file ("dev") of slowfs
# (tests/tools/slowfs.cpp), whose bytes live in FILE and whose every read
# waits DELAY_US microseconds before it is answered, many reads at once.
#   scripts/slowdev.sh up FILE SIZE DELAY_US   prints the loop device
#   scripts/slowdev.sh down [LOOP]             that one, or every one up
# FILE is made (sparse) or resized to SIZE (as truncate -s takes it; 0 keeps
# the file as it is) and is left to the caller; keep it on tmpfs (/dev/shm),
# so that the delay is all the device adds. Down detaches the loop device,
# unmounts, waits for slowfs to end and removes its mount point (and
# SLOWDEV_DIR once empty).
#   SLOWFS       the built slowfs (default build/tests/slowfs of this tree)
#   SLOWFS_ARGS  more of its options (--spin-us=N --threads=N --write-delay-us=N)
#   SLOWDEV_DIR  where the mount points are kept (default /run/xtl-slowdev)
# Sourced, it defines slowdev_up and slowdev_down. Needs root.

slowdev_die() { echo "slowdev: $*" >&2; return 1; }

slowdev_up() {
  local file=$1 size=$2 delay=$3 dir mnt pid loop i
  [[ $# -eq 3 && $delay =~ ^[0-9]+$ ]] || slowdev_die "usage: slowdev.sh up FILE SIZE DELAY_US" || return
  local bin=${SLOWFS:-$(dirname "${BASH_SOURCE[0]}")/../build/tests/slowfs}
  [[ -x $bin ]] || slowdev_die "build $bin first (scripts/build.sh)" || return
  [[ $size == 0 ]] || truncate -s "$size" "$file" || return
  dir=${SLOWDEV_DIR:-/run/xtl-slowdev}
  mkdir -p "$dir" && mnt=$(mktemp -d "$dir/mnt-XXXXXX") || return
  # shellcheck disable=SC2086  # SLOWFS_ARGS is a list of options
  "$bin" "$file" "$mnt" "--delay-us=$delay" ${SLOWFS_ARGS:-} -f </dev/null >/dev/null 2>"$mnt.log" &
  pid=$!
  echo "$pid" >"$mnt.pid"
  for ((i = 0; i < 200; i++)); do  # up to 10 s (a loaded host, the sanitizers)
    [[ -e $mnt/dev ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if [[ ! -e $mnt/dev ]]; then
    cat "$mnt.log" >&2
    slowdev_teardown "" "$mnt"
    slowdev_die "slowfs did not mount on $mnt"
    return
  fi
  loop=$(losetup --find --show --direct-io=on "$mnt/dev") ||
    { slowdev_teardown "" "$mnt"; return 1; }
  if [[ $(cat "/sys/block/${loop#/dev/}/loop/dio" 2>/dev/null) != 1 ]]; then
    slowdev_teardown "$loop" "$mnt"
    slowdev_die "$loop: direct I/O did not take"
    return
  fi
  echo "$loop"
}

# Detaches LOOP (if given), unmounts MNT, waits for its slowfs to end.
slowdev_teardown() {
  local loop=$1 mnt=$2 pid="" i
  [[ -f $mnt.pid ]] && pid=$(cat "$mnt.pid")
  [[ -z $loop ]] || losetup -d "$loop"
  for ((i = 0; i < 50; i++)); do
    mountpoint -q "$mnt" || break
    fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || sleep 0.1
  done
  for ((i = 0; i < 50; i++)); do
    if [[ -z $pid ]] || ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  [[ -z $pid ]] || ! kill -0 "$pid" 2>/dev/null || kill "$pid"
  rm -f "$mnt.pid" "$mnt.log"
  rmdir "$mnt" && rmdir --ignore-fail-on-non-empty "$(dirname "$mnt")"
}

slowdev_down() {
  local dir=${SLOWDEV_DIR:-/run/xtl-slowdev} loop back mnt rc=0
  if [[ $# -eq 1 ]]; then
    back=$(cat "/sys/block/${1#/dev/}/loop/backing_file" 2>/dev/null) ||
      slowdev_die "$1 is not a loop device" || return
    mnt=$(dirname "$back")
    [[ $mnt == "$dir"/mnt-* ]] || slowdev_die "$1 is not a slow device" || return
    slowdev_teardown "$1" "$mnt"
    return
  fi
  for mnt in "$dir"/mnt-*; do
    [[ -d $mnt ]] || continue
    loop=$(losetup -n -O NAME -j "$mnt/dev" 2>/dev/null | head -n 1)
    slowdev_teardown "$loop" "$mnt" || rc=1
  done
  return $rc
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  case ${1:-} in
    up) shift; slowdev_up "$@" ;;
    down) shift; slowdev_down "$@" ;;
    *) echo "usage: slowdev.sh up FILE SIZE DELAY_US | down [LOOP]" >&2; exit 1 ;;
  esac
fi

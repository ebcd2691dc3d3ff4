#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# What the package's hardening costs vexbench: the program built as the
# package builds it (scripts/package.sh: Debian's flags with every hardening
# feature) against the same sources built with the same optimisation and no
# hardening (dpkg-buildflags with hardening=-all), side by side on a loop
# device over a tmpfs file, so that the CPU cost shows rather than a disk.
# Grid: {4 KiB, 64 KiB, 1 MiB} x {1, 10 workers} x {random read, random write};
# REPS pairs of runs, the order turning every pair; per cell the median of
# the pairs' ratios hardened/plain (1.000 = the same speed), and the spread of
# the plain build's own runs (the host's noise).
#
# Usage: scripts/bench_hardening.sh      (root: loop devices)
# Environment: TM (seconds per cell, default 2), REPS (default 3), SIZE_MB
# (tested size, default 256).
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
TM=${TM:-2}
REPS=${REPS:-3}
SIZE_MB=${SIZE_MB:-256}
[[ $(id -u) == 0 ]] || { echo "needs root (loop devices)" >&2; exit 1; }

work=$(mktemp -d /var/tmp/xtl-hardening-XXXXXX)
dev=""
cleanup() {
  [[ -n $dev ]] && losetup -d "$dev" 2>/dev/null
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  rm -rf "$work"
}
trap cleanup EXIT

echo "building both (hardened: scripts/package.sh; plain: hardening=-all)"
"$root/scripts/package.sh" "$work/pkg" "$work/hardened" >/dev/null
flags() { (cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=-all dpkg-buildflags --get "$1"); }
cmake -S "$root" -B "$work/plain" -DCMAKE_BUILD_TYPE=None -DXTL_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$work/plain" -j "$(nproc)" --target vexbench >/dev/null
hard=$work/hardened/bench/vexbench plain=$work/plain/bench/vexbench

mkdir "$work/mnt"
mount -t tmpfs -o size=$((SIZE_MB + 64))M tmpfs "$work/mnt"
truncate -s "${SIZE_MB}M" "$work/mnt/back"
dev=$(losetup --find --show "$work/mnt/back")
"$plain" -c --size="$SIZE_MB" "$dev" >/dev/null

# One run of one build: "test bs workers iops" lines.
run() {  # run BINARY BLOCK-SIZE
  "$1" -r -w --size="$SIZE_MB" --tm="$TM" --min="$2" --max="$2" --th1=1 --th2=10 --th3=0 "$dev" |
    awk -v bs="$2" '/^Read Tests:/ { t = "read" } /^Write Tests:/ { t = "write" }
      t != "" && /^ *[0-9]+[BKM] \|/ { n = split($0, c, "|")
        split(c[2], a, " "); print t, bs, 1, a[1]; split(c[3], b, " "); print t, bs, 10, b[1] }'
}
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((i = 0; i < REPS; i++)); do
  for bs in 4096 65536 1048576; do
    if ((i % 2 == 0)); then
      run "$plain" $bs | sed 's/^/plain /'; run "$hard" $bs | sed 's/^/hard /'
    else
      run "$hard" $bs | sed 's/^/hard /'; run "$plain" $bs | sed 's/^/plain /'
    fi
  done | sed "s/^/$i /"
done >"$work/runs"
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"

# Per cell: the median of the pairs' ratios, and the plain build's spread
# (its largest run over its smallest).
awk '
  { key = $3 " " $4 " " $5; v[$2, $1, key] = $6; keys[key] = 1; reps[$1] = 1 }
  function median(a, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    printf "%-6s %8s %7s %12s %12s %8s %13s\n", "test", "block", "workers", "plain IOPS", "hardened", "ratio", "plain spread"
    n = split("read 4096 1,read 4096 10,read 65536 1,read 65536 10,read 1048576 1," \
              "read 1048576 10,write 4096 1,write 4096 10,write 65536 1,write 65536 10," \
              "write 1048576 1,write 1048576 10", order, ",")
    for (k = 1; k <= n; k++) {
      key = order[k]; m = 0; lo = 0; hi = 0; sp = 0; sh = 0
      for (r in reps) {
        p = v["plain", r, key]; h = v["hard", r, key]
        if (p > 0) { ratio[++m] = h / p; sp += p; sh += h
          if (lo == 0 || p < lo) lo = p; if (p > hi) hi = p }
      }
      if (m == 0) continue
      split(key, f, " ")
      printf "%-6s %8s %7s %12.0f %12.0f %8.3f %13.3f\n", f[1], f[2], f[3], sp / m, sh / m, median(ratio, m), hi / lo
    }
  }' "$work/runs"

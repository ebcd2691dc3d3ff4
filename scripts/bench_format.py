#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Times the de-dupe and compression format's reserve search next to a plain
format of the same small image, in one run, and prints the ratio.

  scripts/bench_format.py [path/to/xtl-maint] [devsz-MiB] [runs]

The binary is not built here. --devsz= (default 50331648 MiB = 48 TiB) sits
near the largest size the PBA size classes admit with the default 2 MiB
write block; the two-volume format takes it as given, so the image itself
stays small (64 MiB, sparse). Each format runs `runs` times (default 3); the
best time of each is used.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time


def best_ns(binary, runs, out_path, args):
    """The best wall time in nanoseconds over runs runs; None when one failed."""
    best = 0
    for _ in range(runs):
        t0 = time.monotonic_ns()
        with open(out_path, "wb") as out:
            rc = subprocess.run([binary, *args], stdout=out, stderr=subprocess.STDOUT, check=False).returncode
        dt = time.monotonic_ns() - t0
        if rc != 0:
            print(f"bench_format: '{binary} {' '.join(args)}' failed:", file=sys.stderr)
            with open(out_path, encoding="utf-8", errors="replace") as f:
                sys.stderr.write(f.read())
            return None
        if best == 0 or dt < best:
            best = dt
    return best


def field(text, pattern):
    """The third word of the first line matching pattern (0 without one)."""
    for line in text.splitlines():
        if re.search(pattern, line):
            words = line.split()
            return int(words[2]) if len(words) > 2 and words[2].isdigit() else 0
    return 0


def report(text, img, devsz, runs, ddc_ns, plain_ns):
    """The reserve: the data volume starts right after it. Its offset in
    sectors is on the first Off0 line; a write block is the WtBlkSz line's
    KiB x 2 sectors."""
    off0 = field(text, r"Off0 *=")
    wtblk_k = field(text, r"WtBlkSz = *[0-9]+ K")
    datasz = field(text, r"DataSz = .*WtBlks")
    reserve = off0 // (wtblk_k * 2) if wtblk_k else 0
    return "\n".join([
        f"image:        {img} (64 MiB sparse), --devsz={devsz} MiB, best of {runs}",
        f"reserve:      {reserve} write blocks of {wtblk_k} KiB (data volume {datasz} write blocks; "
        f"{reserve + 1} search steps)",
        f"autovm time: {ddc_ns / 1e6:10.3f} ms  (format --autovm --dedupe=200 --comp=200 -q)",
        f"plain time:  {plain_ns / 1e6:10.3f} ms  (format -q)",
        f"ratio:       {ddc_ns / plain_ns:10.1f}  (autovm / plain)"])


def main(argv):
    binary = argv[1] if len(argv) > 1 else "build/maint/xtl-maint"
    devsz = argv[2] if len(argv) > 2 else "50331648"
    runs = int(argv[3]) if len(argv) > 3 else 3
    if not (os.path.isfile(binary) and os.access(binary, os.X_OK)):
        print(f"bench_format: no executable at {binary}", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="xtl-bench-format-", dir="/var/tmp")
    try:
        img = f"{work}/bench.img"
        with open(img, "wb") as f:
            f.truncate(64 << 20)
        ddc_ns = best_ns(binary, runs, f"{work}/ddc.out",
                         ["format", img, "--autovm", "--dedupe=200", "--comp=200", "-q", f"--devsz={devsz}"])
        plain_ns = ddc_ns and best_ns(binary, runs, f"{work}/plain.out", ["format", img, "-q"])
        if not plain_ns:
            return 1
        with open(f"{work}/ddc.out", encoding="utf-8", errors="replace") as f:
            print(report(f.read(), img, devsz, runs, ddc_ns, plain_ns))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

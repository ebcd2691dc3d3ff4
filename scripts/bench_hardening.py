#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What the package's hardening costs vexbench: the program built as the
package builds it (scripts/package.sh: Debian's flags with every hardening
feature) against the same sources built with the same optimisation and no
hardening (dpkg-buildflags with hardening=-all), side by side on a loop
device over a tmpfs file, so that the CPU cost shows rather than a disk.
Grid: {4 KiB, 64 KiB, 1 MiB} x {1, 10 workers} x {random read, random write};
REPS pairs of runs, the order turning every pair; per cell the median of the
pairs' ratios hardened/plain (1.000 = the same speed), and the spread of the
plain build's own runs (the host's noise).

Usage: scripts/bench_hardening.py      (root: loop devices)
Environment: TM (seconds per cell, default 2), REPS (default 3), SIZE_MB
(tested size, default 256).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchstats import median, numbers  # noqa: E402  (beside this script)
from benchtools import exit_on_term, load_average, run_out  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BLOCKS = (4096, 65536, 1048576)
ROW = re.compile(r"^ *[0-9]+[BKM] \|")


def cells(text, bs):
    """One run's table: [(test, block, workers, IOPS)], the first two
    columns being 1 and 10 workers."""
    out, test = [], ""
    for line in text.splitlines():
        if line.startswith("Read Tests:"):
            test = "read"
        elif line.startswith("Write Tests:"):
            test = "write"
        if test and ROW.match(line):
            c = line.split("|")
            for workers, col in ((1, 1), (10, 2)):
                words = c[col].split() if len(c) > col else []
                out.append((test, bs, workers, words[0] if words else ""))
    return out


def table(runs):
    """Per cell: the median of the pairs' ratios, and the plain build's
    spread (its largest run over its smallest). runs: {(rep, build, test,
    block, workers): IOPS}."""
    lines = [f"{'test':<6} {'block':>8} {'workers':>7} {'plain IOPS':>12} {'hardened':>12} {'ratio':>8} "
             f"{'plain spread':>13}"]
    reps = sorted({k[0] for k in runs})
    for test in ("read", "write"):
        for bs in BLOCKS:
            for workers in (1, 10):
                pairs = [(value(runs, (r, "plain", test, bs, workers)), value(runs, (r, "hard", test, bs, workers)))
                         for r in reps]
                pairs = [(p, h) for p, h in pairs if p > 0]
                if not pairs:
                    continue
                plain = [p for p, _ in pairs]
                n = len(pairs)
                lines.append(f"{test:<6} {bs:>8} {workers:>7} {sum(plain) / n:12.0f} "
                             f"{sum(h for _, h in pairs) / n:12.0f} {median([h / p for p, h in pairs]):8.3f} "
                             f"{max(plain) / min(plain):13.3f}")
    return "\n".join(lines)


def value(runs, key):
    v = numbers([runs.get(key, "")])
    return v[0] if v else 0.0


def build_both(work):
    """The hardened build (the package's) and the plain one: their vexbench."""
    subprocess.run([f"{ROOT}/scripts/package.sh", f"{work}/pkg", f"{work}/hardened"], stdout=subprocess.DEVNULL,
                   check=True)
    env = dict(os.environ, DEB_BUILD_MAINT_OPTIONS="hardening=-all")

    def flags(name):
        return subprocess.run(["dpkg-buildflags", "--get", name], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                              check=True).stdout.decode().strip()
    subprocess.run(["cmake", "-S", ROOT, "-B", f"{work}/plain", "-DCMAKE_BUILD_TYPE=None", "-DXTL_TESTS=OFF",
                    f"-DCMAKE_CXX_FLAGS={flags('CPPFLAGS')} {flags('CXXFLAGS')}",
                    f"-DCMAKE_EXE_LINKER_FLAGS={flags('LDFLAGS')}"], stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["cmake", "--build", f"{work}/plain", "-j", str(len(os.sched_getaffinity(0))), "--target",
                    "vexbench"], stdout=subprocess.DEVNULL, check=True)
    return f"{work}/hardened/bench/vexbench", f"{work}/plain/bench/vexbench"


def measure(builds, dev, size, tm, reps):
    """REPS rounds of every block size with both builds, the order turning."""
    runs = {}
    for i in range(reps):
        for bs in BLOCKS:
            order = ("plain", "hard") if i % 2 == 0 else ("hard", "plain")
            for name in order:
                out, _ = run_out([builds[name], "-r", "-w", f"--size={size}", f"--tm={tm}", f"--min={bs}",
                                  f"--max={bs}", "--th1=1", "--th2=10", "--th3=0", dev])
                for test, b, workers, iops in cells(out, bs):
                    runs[i, name, test, b, workers] = iops
    return runs


def main():
    sys.stdout.reconfigure(line_buffering=True)
    exit_on_term()
    os.environ["LC_ALL"] = "C"
    tm, reps, size = os.environ.get("TM", "2"), int(os.environ.get("REPS", "3")), int(os.environ.get("SIZE_MB", "256"))
    if os.getuid() != 0:
        print("needs root (loop devices)", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="xtl-hardening-", dir="/var/tmp")
    dev, mnt = "", f"{work}/mnt"
    try:
        print("building both (hardened: scripts/package.sh; plain: hardening=-all)")
        hard, plain = build_both(work)
        os.mkdir(mnt)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size + 64}M", "tmpfs", mnt], check=True)
        with open(f"{mnt}/back", "wb") as f:
            f.truncate(size << 20)
        dev = subprocess.run(["losetup", "--find", "--show", f"{mnt}/back"], stdout=subprocess.PIPE,
                             check=True).stdout.decode().strip()
        run_out([plain, "-c", f"--size={size}", dev])
        print(f"load average before: {load_average()}")
        runs = measure({"hard": hard, "plain": plain}, dev, size, tm, reps)
        print(f"load average after:  {load_average()}")
        print(table(runs))
    except subprocess.CalledProcessError:
        return 1
    finally:
        if dev:
            subprocess.run(["losetup", "-d", dev], stderr=subprocess.DEVNULL, check=False)
        if os.path.ismount(mnt):
            subprocess.run(["umount", mnt], check=False)
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

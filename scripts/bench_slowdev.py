#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The slow device (scripts/slowdev.sh) against a plain loop device over the
same tmpfs file, measured side by side in one run with fio: 4 KiB random
reads, direct I/O, one at a time (psync, and io_uring at depth 1) and 32 at
a time (io_uring at depth 32, fixed buffers and registered files). PAIRS
rounds, each running every cell on both devices in turn, the order of the
devices turning every round; medians of IOPS and of mean latency, and the
depth-32 IOPS over the depth-1 IOPS of each device. The slow device should
show about DELAY_US + 10..20 us at depth 1 and several times the IOPS at
depth 32; the tmpfs loop device answers in a few microseconds.
Usage: scripts/bench_slowdev.py [build dir]   (default build; needs root, fio)
  DELAY_US (80)  PAIRS (5)  RUNTIME (3 s a cell)  SIZE (1G)  SLOWFS_ARGS
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchstats import median_text, numbers, ratio_text  # noqa: E402  (beside this script)
from benchtools import exit_on_term, Loop, have  # noqa: E402

CELLS = (("psync", 1), ("io_uring", 1), ("io_uring", 32))


def fio_cell(dev, engine, qd, runtime):
    """One cell: [IOPS, MEAN_LATENCY_US] (fio's terse fields 8 and 40)."""
    extra = ["--fixedbufs=1", "--registerfiles=1"] if engine == "io_uring" else []
    out = subprocess.run(["fio", "--name=cell", f"--filename={dev}", "--direct=1", "--rw=randread", "--bs=4k",
                          "--size=1G", f"--ioengine={engine}", f"--iodepth={qd}", *extra, f"--runtime={runtime}",
                          "--time_based", "--output-format=terse", "--terse-version=3"],
                         stdout=subprocess.PIPE, check=False).stdout.decode()
    f = (out.splitlines() or [""])[0].split(";")
    return [f[7] if len(f) > 7 else "", f[39] if len(f) > 39 else ""]


def med(values):
    m = numbers([median_text(values)])
    return m[0] if m else 0.0


def report(iops, lat, w):
    """The table of the medians and the depth-32 gain of each device."""
    lines = [f"4 KiB random reads, direct, median of {w['PAIRS']} alternating rounds of {w['RUNTIME']} s a cell",
             f"slow: {w['SLOW']} (slowfs, {w['DELAY_US']} us a read {w.get('SLOWFS_ARGS', '')}); tmpfs: {w['PLAIN']}",
             f"{'cell':<16} {'slow IOPS':>12} {'slow lat us':>12} {'tmpfs IOPS':>12} {'tmpfs lat us':>12}"]
    for cell in CELLS:
        lines.append(f"{cell[0] + ' qd=' + str(cell[1]):<16} {med(iops['slow', cell]):12.0f} "
                     f"{med(lat['slow', cell]):12.1f} {med(iops['plain', cell]):12.0f} {med(lat['plain', cell]):12.1f}")
    for d in ("slow", "plain"):
        deep, one = iops[d, CELLS[2]], iops[d, CELLS[1]]
        runs = "".join(x + " " for x in deep) + "/ " + "".join(x + " " for x in one)
        lines.append(f"qd=32 / qd=1 io_uring IOPS, {d + ':':<5} "
                     f"{ratio_text(median_text(deep), median_text(one))} (runs: {runs})")
    return "\n".join(lines)


def measure(w):
    """PAIRS rounds of every cell on both devices, the order turning."""
    iops = {(d, c): [] for d in ("slow", "plain") for c in CELLS}
    lat = {(d, c): [] for d in ("slow", "plain") for c in CELLS}
    for r in range(int(w["PAIRS"])):
        for cell in CELLS:
            for d in ("slow", "plain") if r % 2 == 0 else ("plain", "slow"):
                i, lt = fio_cell(w["SLOW"] if d == "slow" else w["PLAIN"], *cell, w["RUNTIME"])
                iops[d, cell].append(i)
                lat[d, cell].append(lt)
    return iops, lat


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    exit_on_term()
    build = argv[1] if len(argv) > 1 else "build"
    os.environ["SLOWFS"] = os.environ.get("SLOWFS") or os.path.realpath(f"{build}/tests/slowfs")
    if not os.access(os.environ["SLOWFS"], os.X_OK):
        print(f"bench_slowdev: build {build}/tests/slowfs first (scripts/build.sh)", file=sys.stderr)
        return 1
    if os.getuid() != 0:
        print("bench_slowdev: needs root", file=sys.stderr)
        return 1
    if not have("fio"):
        print("bench_slowdev: needs fio (scripts/setup.sh)", file=sys.stderr)
        return 1
    w = {k: os.environ.get(k, v) for k, v in (("DELAY_US", "80"), ("PAIRS", "5"), ("RUNTIME", "3"), ("SIZE", "1G"))}
    if "SLOWFS_ARGS" in os.environ:
        w["SLOWFS_ARGS"] = os.environ["SLOWFS_ARGS"]
    work = tempfile.mkdtemp(prefix="xtl-bench-slowdev-", dir="/dev/shm")
    slow, plain = Loop(True, w["DELAY_US"]), Loop(False)
    try:
        back = f"{work}/back.img"
        subprocess.run(["truncate", "-s", w["SIZE"], back], check=True)
        with open(back, "r+b") as f:
            for _ in range(64):
                f.write(os.urandom(1 << 20))
        w["SLOW"], w["PLAIN"] = slow.up(back), plain.up(back)
        iops, lat = measure(w)
        print(report(iops, lat, w))
    except subprocess.CalledProcessError:
        return 1
    finally:
        slow.down()
        plain.down()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Correctness checks and a side-by-side speed comparison of vexbench on a
loop device (run as root):
  (a) a fill followed by a verifying read reports no "read data err"
  (b) a read test of an unfilled device reports the error from every worker
      and 0 IOPS (and ends with status 1)
  (c) one sector corrupted after the fill is reported by the verifying read
  (d) with --coll=1 and --coll=2 each worker touches only its own zone or its
      own blocks (the Seek unit tests)
  (e) IOPS of vexbench and of fio (ioengine=psync, direct=1) on the grid
      {4 KiB, 64 KiB, 1 MiB} x {1, 10 workers} x {random read, random write}:
      REPS pairs of runs, the order turning every pair; the median of the
      pairs' ratios vexbench/fio, and the spread of fio's own runs (the
      host's noise). A cell under 0.97 is measured again with -q, which
      leaves out the stamp verification of reads and the stamping of
      writes, so that their share of the gap shows.
  (f) each vexbench run's count against the loop device's own counters
      (/sys/block/loopN/stat, sampled every 10 ms): the sectors the kernel
      completed in the window the results file gives (window_start_ms,
      window_ms), interpolated at both ends, as transfers of the block
      size; within 2% of vexbench's IOPS (median per cell)
  (g) vexbench's p50/p99 (--lat) next to fio's completion-latency
      percentiles on the same cells; p50 should agree within 15%
  (h) the cost of --lat: IOPS with --lat over IOPS without it on the
      4 KiB x 10 worker read cell, median of REPS alternating pairs
The device is a loop device over a file on a tmpfs mount of its own, so the
figures show the CPU cost of each tool rather than a disk.

  (i) io_uring: vexbench --qd=Q against fio --ioengine=io_uring on
      {4 KiB, 64 KiB} x {1, 2 workers} x Q {1, 8, 32} x {read, write}, IOPS
      and CPU per transfer (user + system of all the tool's processes over
      the loop device's completed requests); the headline (--qd=32 with 2
      workers against the best one-at-a-time 4 KiB read cell); the cost of
      the split worker side against an earlier binary (PREV); a cell
      under 0.97 again with -q; scheduling groups (autogroup on and off):
      10 workers against fio psync, whose jobs are sessions of their own,
      and against PREV (an earlier binary whose workers share a session);
      fio's io_uring runs with --fixedbufs=1 --registerfiles=1, its fastest
      set-up; UCELLS names cells to measure besides (or, with UPARTS=none,
      instead of) the grid, its read cells first (fio's writes replace the
      stamps)
  (j) mixed loads: vexbench --mix=70 against fio --rw=randrw --rwmixread=70,
      4 KiB, one at a time with 1 and 10 workers (fio psync) and --qd=32
      with 1 and 2 workers (fio io_uring --fixedbufs=1 --registerfiles=1):
      MREPS alternating pairs, medians of total IOPS and of CPU per transfer
  (k) the read share the loop device counted over the window for --mix=P,
      P in {5, 50, 95}: within 1 point of P
  (l) --rate= at 10%, 50% and 90% of the unlimited IOPS of a cell (RCELL,
      default "-r -q --qd=32", 1 worker): the achieved rate by the kernel's
      count, within 2% of the target
  (m) the cost of the series and the mix code path on the read and write
      cells (4 KiB, 1 and 2 workers, one at a time and --qd=32) against
      PREV, the binary of the previous landing
The medians, spreads and the counter interpolation are scripts/benchstats.py.

Usage: scripts/bench_vexbench.py [build-dir]   (default: build)
Both tools run at the same raised priority (nice -10) so that other load on
the host disturbs them less; the load average is printed before and after.
Environment: TM (seconds per cell, default 4), SIZE_MB (tested size,
default 256), REPS (pairs of runs per cell, default 3), PARTS (which of
"checks fio uring" to run, default all), UTM and UREPS (seconds per window
and pairs per cell of (i), default 2 and 5), UPARTS (which of "cells
headline split groups" of (i), default all), UBS (block sizes of (i)'s
cells, default "4096 65536"), PREV (an earlier vexbench binary for the
cost of the split, the scheduling groups and (m); none: not measured),
UPLACE=1 (with two CPUs or more: a cell of (i) under 0.97 is measured
again with both tools on CPU 0 and the loop device's copies, the kernel's
unbound work queues, on CPU 1, verified and with -q, and then with
everything on CPU 0; where the host's scheduler puts the copies decides how
much the worker's touch of the buffers costs them), MTM and MREPS (seconds
per window and pairs per cell of (j) to (m), default
2 and 5), RCELL (the options of (l)'s cell), MPARTS (which of "j k l m mi",
default all; mi: (m) counted by callgrind and strace instead of the clock).
PARTS=mix runs (j) to (m).
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchstats import kernel_rate, numbers  # noqa: E402  (beside this script)
from benchstats import median_text as median, ratio_text as ratio, spread_text as spread  # noqa: E402
from benchtools import (Device, Placed, Sampler, child_times, cpu_run, exit_on_term, have, install,  # noqa: E402
                        load_average, per_xfer, run_out, stat_fields)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NICE = ["nice", "-n", "-10"]
AUTOGROUP = "/proc/sys/kernel/sched_autogroup_enabled"


def env(name, default):
    return os.environ.get(name, default)


def jq(path, *keys):
    """A figure of the first cell of a results file (0 when it has none)."""
    try:
        with open(path, encoding="utf-8") as f:
            v = json.load(f)["cells"][0]
        for k in keys:
            v = v[k]
    except (OSError, ValueError, KeyError, IndexError, TypeError):
        return 0
    return v if v is not None else 0


def num(x):
    """A figure as the bench prints it: integers without a point."""
    return str(int(x)) if isinstance(x, float) and x.is_integer() else str(x)


def fnum(x):
    try:
        return float(x)
    except (TypeError, ValueError):
        return 0.0


class Pairs:
    """REPS alternating pairs of two commands (the order turns every pair,
    so a drift of the host's load favours neither). Each command gives a
    list of figures, its IOPS first: v and f (the IOPS of each run), r (the
    ratio of each pair), and v2, f2, f3 (the second and third figures)."""

    def __init__(self, reps, first, second):
        self.v, self.f, self.r, self.v2, self.f2, self.f3 = [], [], [], [], [], []
        for rep in range(1, reps + 1):
            if rep % 2 == 1:
                a = first()
                b = second()
            else:
                b = second()
                a = first()
            self.v.append(a[0])
            self.f.append(b[0])
            self.r.append(ratio(a[0], b[0]))
            self.v2.append(a[1] if len(a) > 1 else "")
            self.f2.append(b[1] if len(b) > 1 else "")
            self.f3.append(b[2] if len(b) > 2 else "")


class Bench:
    def __init__(self, build):
        self.build = build
        self.vexbench = f"{build}/bench/vexbench"
        self.tm, self.size = env("TM", "4"), int(env("SIZE_MB", "256"))
        self.reps = int(env("REPS", "3"))
        self.parts = env("PARTS", "checks fio uring mix").split()
        self.mtm, self.mreps = env("MTM", "2"), int(env("MREPS", "5"))
        self.rcell_text = env("RCELL", "-r -q --qd=32")
        self.rcell = self.rcell_text.split()
        self.mparts = env("MPARTS", "j k l m mi").split()
        self.utm, self.ureps = env("UTM", "2"), int(env("UREPS", "5"))
        self.prev = env("PREV", "")
        self.uparts = env("UPARTS", "cells headline split groups").split()
        self.ubs = env("UBS", "4096 65536").split()
        self.ucells_extra = env("UCELLS", "").split()
        self.uplace = env("UPLACE", "") == "1" and len(os.sched_getaffinity(0)) >= 2
        self.fails = 0
        self.pin = []  # a command the tools run under (taskset), or none
        self.uflags = []  # more options for uvex's vexbench
        self.dev = self.work = None

    def check(self, name, ok, detail):
        print(f"{'PASS' if ok else 'FAIL'} ({name}) {detail}")
        if not ok:
            self.fails += 1

    def refill(self, *extra):
        """Fills the device again (stamps for the verifying reads)."""
        return run_out([self.vexbench, "-c", f"--size={self.size}", *extra, self.dev.path])[1] == 0

    def cell_args(self, bs, th, tm):
        return [f"--tm={tm}", f"--min={bs}", f"--max={bs}", f"--th1={th}", "--th2=0", "--th3=0",
                f"--size={self.size}"]

    # (a) to (d)
    def part_checks(self):
        dev = self.dev.path
        out, st = run_out([self.vexbench, "-r", *self.cell_args(4096, 4, 1), dev])
        lines = out.splitlines()
        errs = sum("read data err" in ln for ln in lines)
        iops = "\n".join((ln.split() + ["", ""])[1] for ln in lines if ln.startswith("|"))
        self.check("b", errs == 4 and iops == "0" and st == 1,
                   f'unfilled read: {errs} of 4 workers report "read data err", IOPS {iops}, status {st}')
        out, st = run_out([self.vexbench, "-c", "-r", "--tm=1", "--min=4096", "--max=65536", "--th1=1", "--th2=4",
                           "--th3=0", f"--size={self.size}", dev])
        lines = out.splitlines()
        errs = sum("read data err" in ln for ln in lines)
        rows = sum(re.match(r" *[0-9]+K \|", ln) is not None for ln in lines)
        self.check("a", errs == 0 and st == 0 and rows == 5,
                   f'fill then verifying read: {errs} "read data err", {rows} rows, status {st}')
        # corrupt sector 809 (block 101 of 4 KiB) and read the first MiB again
        self.dev.write_sector(809, b"X" * 512)
        out, st = run_out([self.vexbench, "-r", "--tm=1", "--min=4096", "--max=4096", "--th1=1", "--th2=0",
                           "--th3=0", "--size=1", dev])
        m = re.search("read data err.*", out)
        line = m.group(0) if m else ""
        self.check("c", line == "read data err 6365935209750747224 809/101  5858585858585858 329" and st == 1,
                   f'corrupted sector: "{line}", status {st}')
        out, st = run_out([self.unit, "--gtest_filter=BenchIoTest.Seek*"], stderr=subprocess.STDOUT)
        n = sum(ln.startswith("[       OK ] BenchIoTest.Seek") for ln in out.splitlines())
        self.check("d", st == 0,
                   f"Seek: {n} unit tests (rule 0 alignment, rule 1 zones, rule 2 dealing, other rules, failure)")

    def sampled(self, cmd):
        """Runs vexbench CMD with the device's counters sampled."""
        with Sampler(self.dev.stat) as s:
            run_out(cmd)
        return s

    @staticmethod
    def kernel(s, json_path, rw, bs):
        """The device's completed sectors of reads or writes over the window
        the results file reports (each end interpolated between the samples
        around it), as transfers of bs bytes per second."""
        return f"{kernel_rate(s.series(rw), jq(json_path, 'window_start_ms'), jq(json_path, 'window_ms'), bs):.0f}"

    def vex(self, rw, bs, th, json_path, *extra):
        """One cell of (e) to (h): IOPS and the kernel's count."""
        s = self.sampled([*self.pin, *NICE, self.vexbench, f"-{rw[0]}", *self.cell_args(bs, th, self.tm),
                          f"--json={json_path}", *extra, self.dev.path])
        return [num(jq(json_path, "iops")), self.kernel(s, json_path, rw, bs)]

    def fio_cell(self, rw, bs, th):
        """fio psync: IOPS, p50 and p99 of the completion latency (us)."""
        out, _ = run_out([*self.pin, *NICE, "fio", "--name=cmp", f"--filename={self.dev.path}", "--ioengine=psync",
                          "--direct=1", f"--rw=rand{rw}", f"--bs={bs}", f"--numjobs={th}", f"--size={self.size}M",
                          "--time_based", f"--runtime={self.tm}", "--ramp_time=1", "--norandommap",
                          "--randrepeat=0", "--group_reporting", "--output-format=json"])
        try:
            job = json.loads(out)["jobs"][0][rw]
            pct = job["clat_ns"]["percentile"]
            return [str(int(job["iops"])), num(pct["50.000000"] / 1000), num(pct["99.000000"] / 1000)]
        except (ValueError, KeyError, IndexError):
            return ["0", "0", "0"]

    def fio_row(self, rw, bs, th):
        """One row of the psync table; (kernel off, p50 off, ratio)."""
        w = self.work
        p = Pairs(self.reps, lambda: self.vex(rw, bs, th, f"{w}/v.json"), lambda: self.fio_cell(rw, bs, th))
        r = median(p.r)
        # each run against its own kernel count, then the median
        kd = fnum(median([f"{(fnum(v) / fnum(k) - 1) if fnum(k) > 0 else 9:.4f}" for v, k in zip(p.v, p.v2)]))
        self.vex(rw, bs, th, f"{w}/l.json", "--lat")
        vp50, vp99 = fnum(jq(f"{w}/l.json", "latency_us", "p50")), fnum(jq(f"{w}/l.json", "latency_us", "p99"))
        fp50, fp99 = median(p.f2), median(p.f3)
        q = pin = "-"
        if aim_low(r):
            q = median(Pairs(self.reps, lambda: self.vex(rw, bs, th, f"{w}/q.json", "-q"),
                             lambda: self.fio_cell(rw, bs, th)).r)
            if th == 1:
                self.pin = ["taskset", "-c", "0"]
                pin = median(Pairs(self.reps, lambda: self.vex(rw, bs, th, f"{w}/q.json"),
                                   lambda: self.fio_cell(rw, bs, th)).r)
                self.pin = []
        print(f"{rw:<5} {str(bs // 1024) + 'K':>5} {th:>3} | {median(p.v):>8} {median(p.f):>8} {r:>6} "
              f"{spread(p.f):>5}% | {median(p.v2):>8} {kd * 100:5.1f}% | {vp50:8.1f} {fnum(fp50):8.1f} "
              f"{vp99:8.1f} {fnum(fp99):8.1f} | {q:>6} {pin:>6}")
        fp = fnum(fp50)
        return abs(kd) > 0.02, not (fp > 0 and 0.85 <= vp50 / fp <= 1.15), r

    def part_fio(self):
        print()
        print(f"IOPS side by side: {self.reps} alternating pairs per cell; ratio: median of the pairs'")
        print("vexbench/fio; spread: (largest - smallest) / median of fio's own runs, the host's noise;")
        print("kernel: the loop device's completed sectors over each vexbench window, as transfers/s,")
        print("and dev, vexbench's IOPS against it (median); latency: vexbench --lat (one run) and")
        print("fio clat percentiles (median), microseconds; quick: for a cell under 0.97, the ratio")
        print("again with -q (no stamp verification in reads, no stamping in writes); pinned: for such")
        print("a cell with one worker, the ratio again with both tools held on CPU 0 (taskset), which")
        print("takes the scheduler's placement of the worker out of the comparison")
        print(f"load average before: {load_average()} on {len(os.sched_getaffinity(0))} CPUs")
        print(f"{'test':<5} {'block':>5} {'th':>3} | {'vexbench':>8} {'fio':>8} {'ratio':>6} {'spread':>6} | "
              f"{'kernel':>8} {'dev':>6} | {'vex-p50':>8} {'fio-p50':>8} {'vex-p99':>8} {'fio-p99':>8} | "
              f"{'quick':>6} {'pinned':>6}")
        worst, kern_bad, p50_bad = "9", 0, 0
        for rw in ("read", "write"):
            for bs in (4096, 65536, 1048576):
                for th in (1, 10):
                    kern_off, p50_off, r = self.fio_row(rw, bs, th)
                    kern_bad += kern_off
                    p50_bad += p50_off
                    worst = lowest(worst, r)
        print(f"lowest ratio: {worst} (aim: at least 0.97)")
        print(f"p50 of vexbench and fio more than 15% apart on {p50_bad} of 12 cells")
        self.check("f", kern_bad == 0,
                   f"vexbench's IOPS within 2% of the kernel's count on every cell ({kern_bad} off)")
        # (h) the cost of --lat, side by side (quick reads: fio has written over the stamps by now)
        w = self.work
        p = Pairs(self.reps, lambda: self.vex("read", 4096, 10, f"{w}/l.json", "-q", "--lat"),
                  lambda: self.vex("read", 4096, 10, f"{w}/p.json", "-q"))
        print(f"--lat on 4K x 10 workers, reads: IOPS {median(p.v)} with, {median(p.f)} without: "
              f"ratio {median(p.r)} (median of {self.reps} pairs; aim: at least 0.97)")

    def uvex(self, rw, bs, th, qd, binary=None):
        """vexbench on (i)'s cells: IOPS and CPU per transfer (us). Q 1:
        the option left out, as an earlier binary is run."""
        qopt = [] if qd == 1 else [f"--qd={qd}"]
        cpu, n = cpu_run(self.dev.stat, (4,) if rw == "write" else (0,), [
            *self.pin, *NICE, binary or self.vexbench, f"-{rw[0]}", *qopt, *self.uflags, *self.cell_args(bs, th, self.utm),
            f"--json={self.work}/u.json", self.dev.path], f"{self.work}/out")
        return [num(jq(f"{self.work}/u.json", "iops")), per_xfer(cpu, n)]

    def ufio(self, rw, bs, th, qd, engine="io_uring"):
        """fio on (i)'s cells: IOPS and CPU per transfer (us)."""
        fast = ["--fixedbufs=1", "--registerfiles=1"] if engine == "io_uring" else []  # its fastest set-up
        out = f"{self.work}/out"
        cpu, n = cpu_run(self.dev.stat, (4,) if rw == "write" else (0,), [
            *self.pin, *NICE, "fio", "--name=cmp", f"--filename={self.dev.path}", f"--ioengine={engine}", *fast,
            f"--iodepth={qd}", f"--numjobs={th}", "--direct=1", f"--rw=rand{rw}", f"--bs={bs}",
            f"--size={self.size}M", "--time_based", f"--runtime={self.utm}", "--ramp_time=1", "--norandommap",
            "--randrepeat=0", "--group_reporting", "--output-format=json"], out)
        return [str(fio_iops(out, (rw,))), per_xfer(cpu, n)]

    # (i) io_uring: vexbench --qd=Q with W workers against fio's io_uring
    # engine with the same depth and jobs; then the headline, the cost of the
    # split worker side, and the scheduling-group experiment. All on one
    # refill: the read cells first (the stamps are intact), the write cells
    # after them.
    def part_uring(self):
        if not self.refill():
            print("refill failed")
            return False
        print()
        print(f"io_uring side by side ({self.ureps} alternating pairs per cell, {self.utm} s windows): vexbench --qd=Q")
        print("against fio --ioengine=io_uring --fixedbufs=1 --registerfiles=1 --iodepth=Q --numjobs=W --direct=1")
        print("(fio psync for a cell of UCELLS that names it); ratio: median of the pairs'")
        print("vexbench/fio IOPS; cpu: user + system microseconds of all the tool's processes per request the")
        print("loop device completed during the run (median); spread: fio's own runs (the host's noise)")
        print(f"load average before: {load_average()} on {len(os.sched_getaffinity(0))} CPUs")
        print("quick: for a cell under 0.97, the ratio again with -q (no stamp verification, no stamping)")
        head = f"{'test':<5} {'block':>5} {'W':>3} {'Q':>3} | {'vexbench':>8} {'fio':>8} {'ratio':>6} {'spread':>6} | " \
               f"{'vex-cpu':>8} {'fio-cpu':>8} {'cpu-r':>6} | {'quick':>6}"
        if self.uplace:
            print("apart, apart-q: the ratio again with the tools on CPU 0 and the loop device's copies on CPU 1,")
            print("verified and with -q; one-cpu: the tools and the copies on CPU 0")
            head += f" {'apart':>6} {'apart-q':>7} {'one-cpu':>7}"
        print(head)
        self.ulow, self.ucpu_bad, self.ucells = "9", 0, 0
        self.grid("read")
        # UCELLS: cells of their own, "RW:BLOCK:W:Q[:ENGINE]" (fio's engine;
        # psync for one-at-a-time cells), e.g. "read:1048576:1:1:psync write:4096:1:8"
        for uc in self.ucells_extra:
            rw, bs, th, qd, engine = (uc.split(":", 4) + [""] * 5)[:5]
            self.ucell(rw, int(bs), int(th), int(qd), engine or "io_uring")
        if "headline" in self.uparts:
            self.headline()
        if self.prev and "split" in self.uparts:
            self.split_cells("read")
        if os.access(AUTOGROUP, os.W_OK) and "groups" in self.uparts:
            self.groups()
        self.grid("write")
        if self.prev and "split" in self.uparts:
            self.split_cells("write")
        print(f"io_uring cells: lowest ratio {self.ulow} (aim: at least 0.97); vexbench's CPU per transfer above "
              f"fio's on {self.ucpu_bad} of {self.ucells} cells")
        return True

    def grid(self, rw):
        if "cells" in self.uparts:
            for bs in self.ubs:
                for th in (1, 2):
                    for qd in (1, 8, 32):
                        self.ucell(rw, int(bs), th, qd)

    def ucell(self, rw, bs, th, qd, engine="io_uring"):
        """One cell of (i) (engine: fio's)."""
        def measure():
            return Pairs(self.ureps, lambda: self.uvex(rw, bs, th, qd), lambda: self.ufio(rw, bs, th, qd, engine))
        p = measure()
        r, vc, fc = median(p.r), median(p.v2), median(p.f2)
        cr = ratio(vc, fc)
        q, placed = "-", ""
        if aim_low(r):
            self.uflags = ["-q"]
            q = median(measure().r)
            self.uflags = []
            if self.uplace:
                placed = " " + " ".join(f"{fig:>{w}}" for fig, w in zip(self.placed(measure), (6, 7, 7)))
        print(f"{rw:<5} {str(bs // 1024) + 'K':>5} {th:>3} {qd:>3} | {median(p.v):>8} {median(p.f):>8} {r:>6} "
              f"{spread(p.f):>5}% | {vc:>8} {fc:>8} {cr:>6} | {q:>6}{placed}")
        self.ucells += 1
        self.ulow = lowest(self.ulow, r)
        if not (cr != "n/a" and float(cr) <= 1):
            self.ucpu_bad += 1

    def placed(self, measure):
        """A cell's ratio with the loop device's copies on another CPU than
        the tools (verified, then -q), and on theirs."""
        figs = []
        for work, flags in (("2", []), ("2", ["-q"]), ("1", [])):
            with Placed("0", work) as self.pin:
                self.uflags = flags
                figs.append(median(measure().r))
            self.pin, self.uflags = [], []
        return figs

    def headline(self):
        """--qd=32 with 2 workers against vexbench's best one-at-a-time 4 KiB
        read cell (1, 2 or 10 workers), the runs interleaved."""
        h = {32: [], 1: [], 2: [], 10: []}
        for _ in range(self.ureps):
            for th, qd in ((2, 32), (1, 1), (2, 1), (10, 1)):
                h[32 if qd == 32 else th].append(self.uvex("read", 4096, th, qd)[0])
        m = {k: median(v) for k, v in h.items()}
        best_v, best_w = max(((m[w], w) for w in (1, 2, 10)), key=lambda x: (fnum_or_low(x[0]), f"{x[0]} {x[1]}"))
        print(f"headline: --qd=32 x 2 workers {m[32]} IOPS; best one-at-a-time 4K read: {best_v} IOPS with "
              f"{best_w} workers (1: {m[1]}, 2: {m[2]}, 10: {m[10]}); ratio {ratio(m[32], best_v)} "
              "(aim: at least 1.8)")

    def split_cells(self, rw):
        """The cost of the split: one-at-a-time cells against an earlier
        binary (PREV), alternating pairs."""
        for th in (1, 2):
            p = Pairs(self.ureps, lambda: self.uvex(rw, 4096, th, 1), lambda: self.uvex(rw, 4096, th, 1, self.prev))
            print(f"split: {rw} 4K x {th}: {median(p.v)} against {median(p.f)} IOPS, ratio {median(p.r)} "
                  "(aim: within 2%)")

    def groups(self):
        """Scheduling groups: fio's jobs call setsid(), so with autogroup each
        is a group of its own; vexbench's workers share their parent's. 10
        workers of 4 KiB reads against fio psync with 10 jobs, autogroup on
        and off."""
        with open(AUTOGROUP, encoding="ascii") as f:
            saved = f.read()
        try:
            for ag in (1, 0):
                with open(AUTOGROUP, "w", encoding="ascii") as f:
                    f.write(f"{ag}\n")
                p = Pairs(self.ureps, lambda: self.uvex("read", 4096, 10, 1),
                          lambda: self.ufio("read", 4096, 10, 1, "psync"))
                print(f"autogroup {ag}: 4K reads x 10: vexbench {median(p.v)}, fio psync {median(p.f)}, "
                      f"ratio {median(p.r)}")
                if self.prev:
                    p = Pairs(self.ureps, lambda: self.uvex("read", 4096, 10, 1),
                              lambda: self.uvex("read", 4096, 10, 1, self.prev))
                    print(f"autogroup {ag}: 4K reads x 10: vexbench {median(p.v)}, PREV {median(p.f)}, "
                          f"ratio {median(p.r)}")
        finally:
            with open(AUTOGROUP, "w", encoding="ascii") as f:
                f.write(saved)

    def part_mix(self):
        if not self.refill():
            print("refill failed")
            return False
        print()
        print(f"(j) mixed loads, 70% reads, 4 KiB, {self.mreps} alternating pairs per cell, {self.mtm} s windows: "
              "vexbench")
        print("--mix=70 against fio --rw=randrw --rwmixread=70 (psync; io_uring with --fixedbufs=1")
        print("--registerfiles=1); IOPS: reads and writes; cpu: user + system microseconds of all the tool's")
        print("processes per request the loop device completed during the run (medians)")
        print(f"load average before: {load_average()} on {len(os.sched_getaffinity(0))} CPUs")
        print(f"{'engine':<7} {'W':>3} {'Q':>3} | {'vexbench':>8} {'fio':>8} {'ratio':>6} {'spread':>6} | "
              f"{'vex-cpu':>8} {'fio-cpu':>8} {'cpu-r':>6}")
        if "j" in self.mparts:
            self.mix_cells()
        print()
        self.mrefill()
        print(f"(k) read share counted by the loop device over the window (/sys/block/"
              f"{os.path.basename(self.dev.path)}/stat), 4 KiB, 1 worker")
        if "k" in self.mparts:
            self.read_share()
        print()
        self.rate_cells()
        if self.prev and ("m" in self.mparts or "mi" in self.mparts):
            self.prev_cells()
            if "mi" in self.mparts and have("valgrind") and have("strace"):
                self.prev_counts()
        return True

    def mrefill(self):
        """fio's writes replace the stamps: the device is filled again before
        each run of either tool (outside the measured run), so that both
        start alike."""
        self.refill("--th1=1", "--th2=0", "--th3=0")

    def mvex(self, th, qd):
        """vexbench --mix=70: IOPS and CPU per transfer (us)."""
        self.mrefill()
        qopt = [] if qd == 1 else [f"--qd={qd}"]
        cpu, n = cpu_run(self.dev.stat, (0, 4), [
            *NICE, self.vexbench, "--mix=70", *qopt, *self.cell_args(4096, th, self.mtm),
            f"--json={self.work}/m.json", self.dev.path], f"{self.work}/out")
        return [num(jq(f"{self.work}/m.json", "iops")), per_xfer(cpu, n)]

    def mfio(self, jobs, qd):
        """fio --rw=randrw --rwmixread=70: IOPS and CPU per transfer (us)."""
        self.mrefill()
        engine = ["--ioengine=psync"] if qd == 1 else \
            ["--ioengine=io_uring", f"--iodepth={qd}", "--fixedbufs=1", "--registerfiles=1"]
        out = f"{self.work}/out"
        cpu, n = cpu_run(self.dev.stat, (0, 4), [
            *NICE, "fio", "--name=cmp", f"--filename={self.dev.path}", *engine, f"--numjobs={jobs}", "--direct=1",
            "--rw=randrw", "--rwmixread=70", "--bs=4096", f"--size={self.size}M", "--time_based",
            f"--runtime={self.mtm}", "--ramp_time=1", "--norandommap", "--randrepeat=0", "--group_reporting",
            "--output-format=json"], out)
        return [str(fio_iops(out, ("read", "write"))), per_xfer(cpu, n)]

    def mix_cells(self):
        """(j): the four mixed cells."""
        mlow, mcpu_bad = "9", 0
        for th, qd in ((1, 1), (10, 1), (1, 32), (2, 32)):
            p = Pairs(self.mreps, lambda: self.mvex(th, qd), lambda: self.mfio(th, qd))
            r, vc, fc = median(p.r), median(p.v2), median(p.f2)
            cr = ratio(vc, fc)
            print(f"{'psync' if qd == 1 else 'io_uring':<7} {th:>3} {qd:>3} | {median(p.v):>8} {median(p.f):>8} "
                  f"{r:>6} {spread(p.f):>5}% | {vc:>8} {fc:>8} {cr:>6}")
            mlow = lowest(mlow, r)
            if not (cr != "n/a" and float(cr) <= 1):
                mcpu_bad += 1
        print(f"mixed cells: lowest IOPS ratio {mlow} (aim: at least 0.97); CPU per transfer above fio's on "
              f"{mcpu_bad} of 4")

    def read_share(self):
        """(k): the read share the device counted in each mixed window."""
        share_bad = 0
        k = f"{self.work}/k.json"
        for pct in (5, 50, 95):
            s = self.sampled([*NICE, self.vexbench, f"--mix={pct}", *self.cell_args(4096, 1, self.mtm),
                              f"--json={k}", self.dev.path])
            kr, kw = self.kernel(s, k, "read", 4096), self.kernel(s, k, "write", 4096)
            total = float(kr) + float(kw)
            sh = f"{100 * float(kr) / total if total > 0 else -1:.2f}"
            transfers = fnum(jq(k, "transfers"))
            vsh = 100 * fnum(jq(k, "read", "transfers")) / transfers if transfers else 0
            print(f"--mix={pct}: kernel read share {sh}% (reads {kr}/s, writes {kw}/s); vexbench's own count "
                  f"{vsh:.2f}%")
            if abs(float(sh) - pct) > 1:
                share_bad += 1
        self.check("k", share_bad == 0,
                   f"kernel-counted read share within 1 point of P for P in 5, 50, 95 ({share_bad} off)")

    def rvex(self, json_path, *extra):
        """(l)'s cell: IOPS and the kernel's count."""
        rw = "write" if "-w" in self.rcell else "read"
        s = self.sampled([*NICE, self.vexbench, *self.rcell, *extra, *self.cell_args(4096, 1, self.mtm),
                          f"--json={json_path}", self.dev.path])
        return [num(jq(json_path, "iops")), self.kernel(s, json_path, rw, 4096)]

    def rate_cells(self):
        """(l) --rate= at 10, 50 and 90% of the cell's unlimited IOPS, by the
        kernel's count."""
        on = "l" in self.mparts
        unl = median([self.rvex(f"{self.work}/u.json")[0] for _ in range(self.mreps)] if on else [])
        print(f'(l) --rate= on the cell "{self.rcell_text}" (4 KiB, 1 worker): unlimited {unl} IOPS '
              f"(median of {self.mreps})")
        if not on:
            return
        rate_bad = 0
        for pct in (10, 50, 90):
            target = int(fnum(unl) * pct / 100)
            runs = [self.rvex(f"{self.work}/r.json", f"--rate={target}") for _ in range(self.mreps)]
            ka = median([x[1] for x in runs])
            dev_pct = f"{100 * (fnum(ka) - target) / target:.2f}" if target else "n/a"
            print(f"--rate={target} ({pct}%): achieved {median([x[0] for x in runs])} by the table, "
                  f"{fnum(ka):.0f} by the kernel ({dev_pct}%); runs:" + "".join(f" {x[1]}" for x in runs))
            if dev_pct == "n/a" or abs(float(dev_pct)) > 2:
                rate_bad += 1
        self.check("l", rate_bad == 0,
                   f"--rate= within 2% of the target by the kernel's count at 10, 50 and 90% ({rate_bad} off)")

    def prev_cells(self):
        """(m) the read and write cells against the previous landing's binary."""
        print()
        self.mrefill()
        print(f"(m) the read and write cells (4 KiB) against PREV ({self.prev}), {self.mreps} alternating pairs")
        if "m" not in self.mparts:
            return
        mworst = "9"
        for rw, qd, th in cells_of_m():
            p = Pairs(self.mreps, lambda: self.uvex(rw, 4096, th, qd), lambda: self.uvex(rw, 4096, th, qd, self.prev))
            r = median(p.r)
            print(f"{rw} 4K x {th}, qd {qd}: {median(p.v)} against {median(p.f)} IOPS, ratio {r}; CPU per transfer "
                  f"{median(p.v2)} against {median(p.f2)} us, ratio {ratio(median(p.v2), median(p.f2))}")
            mworst = lowest(mworst, r)
        print(f"(m) lowest ratio against PREV: {mworst} (aim: at least 0.98)")

    def prev_counts(self):
        """The clock cannot show 2% on a host where two workers and the loop
        device's own thread share two CPUs; what each binary does per
        transfer can be counted exactly. callgrind counts the workers'
        instructions (all of each worker process: warm-up, window and
        drain), strace -f their system calls, each over the requests the
        device completed meanwhile."""
        print("(m) per transfer, vexbench against PREV: the workers' instructions (callgrind, the slope")
        print("between a 1 s and a 3 s window), system calls (strace -f), and the share of the CPU time")
        print("spent in user space (a run of vexbench); the cost bound is the rise in instructions times")
        print("that share (the kernel's work per transfer is the same calls in both)")
        iworst = "0"
        for rw, qd, th in cells_of_m():
            iv = self.icount(rw, th, qd, self.vexbench)
            ip = self.icount(rw, th, qd, self.prev)
            ir = ratio(iv[0], ip[0])
            cb = "n/a" if "n/a" in (ir, iv[2]) else f"{100 * (float(ir) - 1) * float(iv[2]):.2f}"
            print(f"{rw} 4K x {th}, qd {qd}: {iv[0]} against {ip[0]} instructions, ratio {ir}; {iv[1]} against "
                  f"{ip[1]} system calls; user share {iv[2]}; cost bound {cb}%")
            if cb != "n/a" and float(cb) > float(iworst):
                iworst = cb
        print(f"(m) highest cost bound: {iworst}% (aim: at most 2%)")

    def callgrind(self, cmd, field):
        """The workers' instructions (callgrind; the parent's set-up and
        reporting left out) and the requests the device completed meanwhile
        (the stat field)."""
        d = f"{self.work}/cg"
        shutil.rmtree(d, ignore_errors=True)
        os.mkdir(d)
        b = stat_fields(self.dev.stat)
        p = subprocess.Popen(["valgrind", "--tool=callgrind", "--trace-children=yes",
                              f"--callgrind-out-file={d}/cg.%p", *cmd],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        p.wait()
        a = stat_fields(self.dev.stat)
        if os.path.exists(f"{d}/cg.{p.pid}"):
            os.remove(f"{d}/cg.{p.pid}")
        ir = 0
        for f in sorted(glob.glob(f"{d}/cg.*")):
            out, _ = run_out(["callgrind_annotate", "--inclusive=yes", "--threshold=100", f],
                             stderr=subprocess.DEVNULL)
            ir += callgrind_total(out)
        return ir, a[field] - b[field]

    def icount(self, rw, th, qd, binary):
        """The workers' instructions per transfer, as the slope between a 1 s
        and a 3 s window (start-up and warm-up cost the same in both and
        drop out); system calls per request (strace -f); the user share of
        a native run's CPU time."""
        field = 4 if rw == "write" else 0
        qopt = [] if qd == 1 else [f"--qd={qd}"]
        cell = [f"-{rw[0]}", *qopt, "--min=4096", "--max=4096", f"--th1={th}", "--th2=0", "--th3=0",
                f"--size={self.size}", self.dev.path]
        i1, n1 = self.callgrind([binary, "--tm=1", *cell], field)
        i3, n3 = self.callgrind([binary, "--tm=3", *cell], field)
        b = stat_fields(self.dev.stat)
        subprocess.run(["strace", "-f", "-c", "-o", f"{self.work}/st", binary, f"--tm={self.mtm}", *cell],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        a = stat_fields(self.dev.stat)
        sc = strace_per_request(f"{self.work}/st", a[field] - b[field])
        user, system, _ = child_times([binary, f"--tm={self.mtm}", *cell], os.devnull)
        if n3 > n1 and user + system > 0:
            return [f"{(i3 - i1) / (n3 - n1):.1f}", sc, f"{user / (user + system):.4f}"]
        return ["n/a", "n/a", "n/a"]

    def main(self):
        print(f"device {self.dev.path} over {self.dev.img} (tmpfs), tested size {self.size} MiB, "
              f"{self.tm} s per cell")
        if "checks" in self.parts:
            self.part_checks()
        # (e) to (h) side by side with fio; the device is filled again for the verifying reads
        if not self.refill():
            print("refill failed")
            return 1
        if "fio" in self.parts:
            self.part_fio()
        if "uring" in self.parts:
            if self.part_uring() is False:
                return 1
        if "mix" in self.parts:
            if self.part_mix() is False:
                return 1
        print(f"load average after: {load_average()}")
        print()
        print("correctness checks: all passed" if self.fails == 0 else f"correctness checks: {self.fails} failed")
        return 0 if self.fails == 0 else 1


def aim_low(r):
    """A ratio under the aim of 0.97, to be measured again with -q."""
    return r != "n/a" and float(r) < 0.97


def fnum_or_low(x):
    try:
        return float(x)
    except ValueError:
        return float("-inf")


def cells_of_m():
    """(m)'s cells: (RW, QD, WORKERS)."""
    return [(rw, qd, th) for rw in ("read", "write") for qd in (1, 32) for th in (1, 2)]


def callgrind_total(annotated):
    """The instructions of a callgrind_annotate report, less those of the
    reseeds: a read worker draws its seed again before every warm-up
    transfer (the count restarts with the window), so the number of those
    reseeds follows the clock: their cost, the same call in both binaries,
    is left out."""
    total, reseed = 0.0, None
    for line in annotated.splitlines():
        first = (line.split() or [""])[0].replace(",", "")
        if "PROGRAM TOTALS" in line:
            total = leading_number(first)
        if reseed is None and re.search(r":ReseedRand\([^)]*\) \[", line):
            reseed = leading_number(first)
    return total - (reseed or 0)


def leading_number(text):
    m = re.match(r"[-+]?[0-9]*\.?[0-9]+(e[-+]?[0-9]+)?", text.strip(), re.I)
    return float(m.group(0)) if m else 0.0


def strace_per_request(path, requests):
    """System calls per request from strace -c's summary ("n/a" without)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                p = line.split()
                if p and p[-1] == "total" and requests > 0 and numbers(p[3:4]):
                    return f"{float(p[3]) / requests:.3f}"
    except OSError:
        pass
    return "n/a"


def lowest(worst, r):
    """The lower of two ratios ("n/a" left out)."""
    return r if r != "n/a" and float(r) < float(worst) else worst


def fio_iops(path, sides):
    """fio's IOPS (the sum of the sides, rounded down) from its results."""
    try:
        with open(path, encoding="utf-8") as f:
            job = json.load(f)["jobs"][0]
        return int(sum(job[s]["iops"] for s in sides))
    except (OSError, ValueError, KeyError, IndexError):
        return 0


def find_unit(build):
    for top, _, files in os.walk(build):
        path = os.path.join(top, "bench_unit_tests")
        if "bench_unit_tests" in files and os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return ""


def prepare(b):
    """Builds what is missing and installs the tools the parts need."""
    b.unit = find_unit(b.build)
    if not os.access(b.vexbench, os.X_OK) or not b.unit:
        print(f"building vexbench and its unit tests in {b.build}", flush=True)
        if run_out(["cmake", "-S", ROOT, "-B", b.build])[1] != 0 or \
                run_out(["cmake", "--build", b.build, "-j2", "--target", "vexbench", "bench_unit_tests"])[1] != 0:
            return False
        b.unit = find_unit(b.build)
    if b.prev and "mix" in b.parts and "mi" in b.mparts and not have("valgrind"):
        print("installing valgrind (callgrind counts (m)'s instructions)", flush=True)
        install("valgrind", "strace")
    if not have("fio"):
        print("installing fio", flush=True)
        if not install("fio"):
            return False
    return True


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    exit_on_term()
    os.environ["LC_ALL"] = "C"  # decimal points in the clock readings and figures
    b = Bench(argv[1] if len(argv) > 1 else f"{ROOT}/build")
    if os.getuid() != 0:
        print("needs root (loop devices)", file=sys.stderr)
        return 1
    if not prepare(b):
        return 1
    with Device(b.size) as dev:
        if dev.path is None:
            return 1
        b.dev, b.work = dev, dev.work
        return b.main()


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except KeyboardInterrupt:
        sys.exit(1)

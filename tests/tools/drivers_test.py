#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The pure parts of the benchmark and fault-sweep drivers: which calls the
sweep takes, how it compares outputs, counts messages and orders its table;
the figures as benchstats prints them; the hardening benchmark's reading of
vexbench's table; the callgrind and strace summaries; the placement's
restored CPU mask.
Usage: drivers_test.py SCRIPTS_DIR [unittest names]"""
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv.pop(1))
import bench_hardening  # noqa: E402
import bench_vexbench  # noqa: E402
import benchstats  # noqa: E402
import benchtools  # noqa: E402
import fault_sweep  # noqa: E402


class Sweep(unittest.TestCase):
    def test_picks(self):
        picks = fault_sweep.picks
        self.assertEqual(picks("log scan", 7, "fail", True), [1, 3, 7])
        self.assertEqual(picks("log scan", 1, "short", True), [1])
        self.assertEqual(picks("log scan", 0, "fail", True), [1])  # the first, always
        self.assertEqual(picks("vexbench -r", 5, "fail", True), [2])
        self.assertEqual(picks("vexbench -w", 1, "fail", True), [1])
        self.assertEqual(picks("vexbench -w", 5, "kill", True), [])
        self.assertEqual(picks("status", 3, "fail", False), [1, 2, 3])
        self.assertEqual(picks("vexbench -c", 10, "kill", False), [1, 2, 3, 4, 5, 7])
        self.assertEqual(picks("vexbench -r", 2, "fail", False), [1, 2])

    def test_masked(self):
        self.assertEqual(fault_sweep.masked("vexbench -r", "   4K |  6703  26.1M\n"), " K | M\n")
        self.assertEqual(fault_sweep.masked("status", "   4K |  6703\n"), "   4K |  6703\n")

    def test_messages(self):
        out = ("Error a\n  Error reading from tmp file 3\nerror b\r"
               "  Error writing to raw XTL device\nfine\n")
        self.assertEqual(fault_sweep.messages(out), 2)
        self.assertEqual(fault_sweep.messages(""), 0)

    def test_table_order(self):
        total = {"format|open fail": 3, "format guard|read fail": 1, "format --autovm|open fail": 2,
                 "format|clean": 1}
        lines = fault_sweep.table(total, {"format|open fail": 2}).split("\n")
        self.assertEqual(lines[0], "")
        self.assertEqual(lines[1], "command          call kind       cases  passed")
        self.assertEqual([ln[:31].rstrip() for ln in lines[2:]],
                         ["format           clean", "format           open fail",
                          "format --autovm  open fail", "format guard     read fail"])
        self.assertEqual(lines[3], "format           open fail           3       2")

    def test_acts(self):
        self.assertEqual(fault_sweep.acts_of("log copy", "write"), ["fail", "short", "kill"])
        self.assertEqual(fault_sweep.acts_of("log post guard", "read"), ["fail"])
        self.assertEqual(fault_sweep.acts_of("log copy", "rename"), ["fail", "kill"])


class Figures(unittest.TestCase):
    def test_median_text(self):
        m = benchstats.median_text
        self.assertEqual(m(["3", "n/a", "1"]), "2")
        self.assertEqual(m([]), "n/a")
        self.assertEqual(m(["1234567.4"]), "1234567")
        self.assertEqual(m(["0.120", "0.3", "0.1"], as_given=True), "0.120")
        self.assertEqual(m(["0.120", "0.3"], as_given=True), "0.21")

    def test_ratio_text(self):
        self.assertEqual(benchstats.ratio_text("1", "3"), "0.333")
        self.assertEqual(benchstats.ratio_text("1", "3", 2), "0.33")
        self.assertEqual(benchstats.ratio_text("1", "0"), "n/a")
        self.assertEqual(benchstats.ratio_text("n/a", "3"), "n/a")

    def test_lowest(self):
        self.assertEqual(bench_vexbench.lowest("9", "0.95"), "0.95")
        self.assertEqual(bench_vexbench.lowest("0.95", "n/a"), "0.95")
        self.assertEqual(bench_vexbench.lowest("0.95", "1.2"), "0.95")


VEXBENCH_TABLE = """OpenWt = 1

Read Tests:

Block |    1 thread    |   10 threads
 Size |   IOPS    BW   |   IOPS    BW
      |                |
   4K |   6703   26.1M |  70746  276.3M

Write Tests:

Block |    1 thread    |   10 threads
 Size |   IOPS    BW   |   IOPS    BW
      |                |
   4K |   8223   32.1M |  72021  281.3M
"""


class Readings(unittest.TestCase):
    def test_hardening_cells(self):
        self.assertEqual(bench_hardening.cells(VEXBENCH_TABLE, 4096),
                         [("read", 4096, 1, "6703"), ("read", 4096, 10, "70746"),
                          ("write", 4096, 1, "8223"), ("write", 4096, 10, "72021")])

    def test_hardening_table(self):
        runs = {}
        for rep, plain, hard in ((0, "100", "90"), (1, "200", "210"), (2, "150", "150")):
            runs[rep, "plain", "read", 4096, 1] = plain
            runs[rep, "hard", "read", 4096, 1] = hard
        lines = bench_hardening.table(runs).split("\n")
        self.assertEqual(len(lines), 2)  # the cells without figures left out
        self.assertEqual(lines[1], "read       4096       1          150          150    1.000         2.000")

    def test_callgrind_total(self):
        report = ("--------\n1,234,567 (100.0%)  PROGRAM TOTALS\n"
                  "  1,000 (0.1%)  ???:ReseedRand(WorkerEnv&) [/x/vexbench]\n"
                  "  500 (0.1%)  ???:Bench::ReseedRand() [/y]\n")
        self.assertEqual(bench_vexbench.callgrind_total(report), 1233567)
        self.assertEqual(bench_vexbench.callgrind_total("nothing\n"), 0)

    def test_strace_per_request(self):
        with tempfile.NamedTemporaryFile("w", suffix=".st", delete=False) as f:
            f.write("% time     seconds  usecs/call     calls    errors syscall\n"
                    "100.00    0.001234           1      1500        12 total\n")
        try:
            self.assertEqual(bench_vexbench.strace_per_request(f.name, 1000), "1.500")
            self.assertEqual(bench_vexbench.strace_per_request(f.name, 0), "n/a")
        finally:
            os.remove(f.name)


class Placement(unittest.TestCase):
    def test_mask_put_back_however_the_block_ends(self):
        with tempfile.TemporaryDirectory() as d:
            mask = os.path.join(d, "cpumask")
            with open(mask, "w", encoding="ascii") as f:
                f.write("3\n")
            with self.assertRaises(KeyboardInterrupt), benchtools.Placed("0", "2", mask):
                with open(mask, encoding="ascii") as f:
                    self.assertEqual(f.read(), "2")
                raise KeyboardInterrupt
            with open(mask, encoding="ascii") as f:
                self.assertEqual(f.read(), "3")


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""vexbench-pts: the steady-state arithmetic on known series, and (as root,
on a loop device) a short run that writes the report, the charts and the
JSON, the report made again from the JSON, and a run ended by Ctrl-C.
Usage: pts_test.py TOOL [VEXBENCH] [unittest names]   (without VEXBENCH the
unit tests alone)"""
import importlib.machinery
import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
TOOL = sys.argv.pop(1)
VEXBENCH = sys.argv.pop(1) if len(sys.argv) > 1 and "/" in sys.argv[1] else None
loader = importlib.machinery.SourceFileLoader("vexbench_pts", TOOL)
pts = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
loader.exec_module(pts)


class SteadyState(unittest.TestCase):
    # (series, window, steady, range %, slope % over the window)
    CASES = [
        ([1000, 1100, 900, 1050, 950], 5, True, 20.0, -6.0),       # range at its limit
        ([5000, 1000, 1100, 900, 1050, 950], 5, True, 20.0, -6.0),  # only the last 5 count
        ([1000, 1000, 1000, 1000, 1250], 5, False, 23.81, 19.05),  # too wide, and too steep
        ([950, 975, 1000, 1025, 1050], 5, True, 10.0, 10.0),      # slope at its limit
        ([940, 970, 1000, 1030, 1060], 5, False, 12.0, 12.0),     # range fine, too steep
        ([1060, 1030, 1000, 970, 940], 5, False, 12.0, -12.0),    # falling as steeply
        ([800, 1200, 1000, 1200, 800], 5, False, 40.0, 0.0),      # flat line, too wide
        ([100, 100, 100], 3, True, 0.0, 0.0),
    ]

    def test_known_series(self):
        for series, window, steady, rng, slope in self.CASES:
            s = pts.steady_state(series, window)
            self.assertEqual(s["steady"], steady, series)
            self.assertAlmostEqual(s["range_pct"], rng, places=2, msg=series)
            self.assertAlmostEqual(s["slope_pct"], slope, places=2, msg=series)

    def test_too_few_rounds_and_the_first_steady_round(self):
        self.assertIsNone(pts.steady_state([1, 2, 3, 4], 5))
        self.assertFalse(pts.steady_state([0, 0, 0], 3)["steady"])
        # falling off a cliff, then steady from round 7 (rounds 3 to 7)
        series = [3000, 2500, 1000, 1010, 990, 1005, 995, 1000]
        self.assertEqual(pts.first_steady(series, 5), 7)
        self.assertIsNone(pts.first_steady(series[:6], 5))


@unittest.skipIf(VEXBENCH is None, "no vexbench given")
class ShortRun(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0 or not shutil.which("gnuplot"):
            (self.fail if os.environ.get("CI") == "true" else self.skipTest)("needs root and gnuplot")
        self.dir = tempfile.mkdtemp(prefix="pts-", dir=os.environ.get("XTL_TEST_TMPDIR", "/var/tmp"))
        back = os.path.join(self.dir, "back")
        with open(back, "wb") as f:
            f.truncate(32 << 20)
        self.dev = subprocess.run(["losetup", "-f", "--show", back], check=True, capture_output=True,
                                  text=True).stdout.strip()
        os.unlink(back)

    def tearDown(self):
        subprocess.run(["losetup", "-d", self.dev], check=False)
        shutil.rmtree(self.dir)

    def args(self, out, rounds):
        return [TOOL, f"--vexbench={VEXBENCH}", "-o", out, "--size=16", "--round=1", f"--rounds={rounds}",
                "--window=2", "--blocks=4096", "--shares=100,0", "--workers=1", "--qd=4", self.dev]

    def test_report_charts_json_and_the_report_again(self):
        out = os.path.join(self.dir, "run")
        r = subprocess.run(self.args(out, 2), capture_output=True, text=True, timeout=120, check=False)
        self.assertIn(r.returncode, (0, 2), r.stdout + r.stderr)
        for name in ("report.md", "tracked.png", "window.png", "matrix.png", "rounds.json"):
            self.assertGreater(os.path.getsize(os.path.join(out, name)), 100, name)
        with open(os.path.join(out, "rounds.json"), encoding="utf-8") as f:
            doc = json.load(f)
        self.assertEqual(len(doc["rounds"]), 2)
        for rnd in doc["rounds"]:
            self.assertEqual(sorted(rnd["matrix"]), ["0/4096", "100/4096"])
            self.assertTrue(all(v > 0 for v in rnd["matrix"].values()))
            self.assertTrue(rnd["results"]["ok"])  # every read verified against the precondition
        report = open(os.path.join(out, "report.md"), encoding="utf-8").read()
        verdict = "**Reached** at round 2" if r.returncode == 0 else "**Not reached**"
        self.assertIn(verdict, report)
        self.assertIn("| 4 KiB |", report)
        # Made again without the device: the same report.
        os.rename(os.path.join(out, "report.md"), os.path.join(self.dir, "first.md"))
        again = subprocess.run([TOOL, f"--from={out}/rounds.json"], capture_output=True, text=True, check=False)
        self.assertEqual(again.returncode, r.returncode, again.stderr)
        self.assertEqual(open(os.path.join(out, "report.md"), encoding="utf-8").read(), report)

    def test_ctrl_c_keeps_the_rounds_done(self):
        out = os.path.join(self.dir, "cut")
        p = subprocess.Popen(self.args(out, 10), stdout=subprocess.PIPE, text=True)
        next(line for line in p.stdout if line.startswith("round 1:"))
        p.send_signal(signal.SIGINT)
        self.assertEqual(p.wait(timeout=60), 2)
        with open(os.path.join(out, "rounds.json"), encoding="utf-8") as f:
            doc = json.load(f)
        self.assertTrue(doc["interrupted"] and doc["rounds"])
        self.assertIn("(interrupted).", open(os.path.join(out, "report.md"), encoding="utf-8").read())


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The merge of vexbench-fleet on small documents, and on a real one.
Usage: fleet_merge_test.py TOOL SAMPLE.json"""
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written beside the tool

TOOL, SAMPLE = sys.argv.pop(1), sys.argv.pop(1)
loader = importlib.machinery.SourceFileLoader("vexbench_fleet", TOOL)
fleet = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
loader.exec_module(fleet)


def doc(start, iops, buckets, max_ns):
    """A host's document: one read cell of 2 workers, its histogram {lo: count}."""
    los = sorted(buckets)
    return {"program": "vexbench", "schema": 1, "start_time": "2026-12-09T00:00:00Z", "ok": True,
            "devices": ["/dev/x"],
            "cells": [{"test": "read", "block_size": 4096, "workers": 2, "window_ms": 1000,
                       "window_start_ms": start, "transfers": iops, "iops": iops,
                       "bytes_per_second": iops * 4096, "errors": 0,
                       "worker_transfers": [iops - iops // 2, iops // 2],
                       "latency_hist": {"min_ns": los[0] if los else 0, "max_ns": max_ns, "bucket_ns": los,
                                        "bucket_counts": [buckets[b] for b in los]}}]}


class Merge(unittest.TestCase):
    def test_sums_spread_outliers_skew_failures_and_merged_percentiles(self):
        docs = {"a": doc(5000, 1000, {20: 1000}, 20), "b": doc(5040, 900, {20: 900}, 20),
                "c": doc(5300, 100, {4096: 100}, 4146)}
        m = fleet.merge(docs, {"d": "vexbench status 1: Error"}, 100)
        c = m["cells"][0]
        self.assertEqual((c["transfers"], c["iops"], c["bytes_per_second"], sum(c["worker_transfers"])),
                         (2000, 2000, 2000 * 4096, 2000))
        self.assertEqual(c["host_iops"], {"min": 100, "median": 900, "max": 1000})
        self.assertEqual((c["outliers"], c["skewed"], c["window_skew_ms"]), (["c"], ["c"], 300))
        self.assertEqual((c["window_start_ms"], c["window_ms"]), (5000, 1300))
        # 1900 transfers at 20 ns, 100 in the bucket of 4096 to 4159 ns: p99 is
        # that bucket's middle, not an average of the hosts' p99 figures.
        self.assertEqual(c["latency_us"], {"p50": 0.02, "p99": 4.127, "p99_9": 4.127, "max": 4.146})
        self.assertEqual([(h["host"], h["ok"], h["error"]) for h in m["hosts"]],
                         [("a", True, None), ("b", True, None), ("c", True, None),
                          ("d", False, "vexbench status 1: Error")])
        self.assertFalse(m["ok"])

    def test_a_host_that_timed_nothing_leaves_the_minimum_alone(self):
        m = fleet.merge({"a": doc(5000, 1000, {20: 1000, 64: 10}, 70), "b": doc(5000, 0, {}, 0)},
                        {}, 100)
        c = m["cells"][0]
        self.assertEqual(c["latency_hist"]["min_ns"], 20)

    def test_one_host_keeps_its_own_percentiles(self):
        with open(SAMPLE, encoding="utf-8") as f:
            sample = json.load(f)
        m = fleet.merge({"x": sample}, {}, 100)
        self.assertEqual([c["latency_us"] for c in m["cells"]],
                         [c["latency_us"] for c in sample["cells"]])
        self.assertEqual([c["iops"] for c in m["cells"]], [c["iops"] for c in sample["cells"]])
        for k in ("latency_ns", "total_ios", "bw_bytes", "runtime_ms", "io_errors", "cpu_user_us"):
            self.assertEqual([c[k] for c in m["cells"]], [c[k] for c in sample["cells"]], k)



class MixedCells(unittest.TestCase):
    def test_each_share_a_cell_of_its_own_with_both_directions_and_the_series(self):
        def host(series):
            d = doc(5000, 1000, {20: 1000}, 20)
            d["cells"] = [dict(d["cells"][0], test="mix", read_share=p, iops_series=series,
                               read={"transfers": 7, "total_ios": 7, "iops": 7, "bw_bytes": 7 * 4096},
                               write={"transfers": 3, "total_ios": 3, "iops": 3, "bw_bytes": 3 * 4096})
                          for p in (70, 30)]
            return d
        m = fleet.merge({"a": host([400, 600]), "b": host([500, 500, 9])}, {}, 100)
        self.assertEqual([(c["test"], c["read_share"], c["hosts"]) for c in m["cells"]],
                         [("mix", 70, 2), ("mix", 30, 2)])
        c = m["cells"][0]
        self.assertEqual((c["read"]["iops"], c["write"]["transfers"], c["iops_series"]), (14, 6, [900, 1100]))


class FioShape(unittest.TestCase):
    def test_the_jq_line_of_the_notes_gives_fios_shape(self):
        if shutil.which("jq") is None:
            if os.environ.get("CI"):
                self.fail("jq is missing")
            self.skipTest("jq is missing")
        notes = os.path.join(os.path.dirname(TOOL), "..", "notes", "bench-json.md")
        with open(notes, encoding="utf-8") as f:
            line = re.search(r"^jq '(.*)' results\.json$", f.read(), re.M).group(1)
        out = subprocess.run(["jq", line, SAMPLE], capture_output=True, text=True, check=True)
        jobs = json.loads(out.stdout)["jobs"]
        with open(SAMPLE, encoding="utf-8") as f:
            cells = json.load(f)["cells"]
        self.assertEqual(len(jobs), len(cells))
        job, cell = jobs[0], cells[0]
        got = job[cell["test"]]
        self.assertEqual((got["iops"], got["bw_bytes"], got["total_ios"]),
                         (cell["iops"], cell["bytes_per_second"], cell["transfers"]))
        self.assertEqual(got["clat_ns"]["percentile"]["99.000000"],
                         round(cell["latency_us"]["p99"] * 1000))
        self.assertGreater(job["usr_cpu"] + job["sys_cpu"], 0)


if __name__ == "__main__":
    unittest.main()

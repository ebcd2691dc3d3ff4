#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""vexbench-fleet through the real pdsh (exec module): three hosts on three
loop devices, the second throttled to 200 IOPS by a blkio cgroup, and a
fourth whose device does not exist. Checks the merged sums against the
hosts' documents, the windows within the tolerance, the slow host named as
the outlier, the failing host named, and that vexbench-plot draws the
merged document. Usage: fleet_test.py TOOL VEXBENCH PLOT"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

tool, vexbench, plot = sys.argv[1:4]
if os.geteuid() != 0 or not shutil.which("pdsh"):
    print("needs root and pdsh")
    sys.exit(1 if os.environ.get("CI") == "true" else 77)
scratch = tempfile.mkdtemp(prefix="fleet-", dir=os.environ.get("XTL_TEST_TMPDIR", "/var/tmp"))
# The throttle: cgroup v1's blkio controller, or v2's io.max.
V1 = os.path.isdir("/sys/fs/cgroup/blkio")
cgroup = ("/sys/fs/cgroup/blkio/" if V1 else "/sys/fs/cgroup/") + "xtl-" + os.path.basename(scratch)
loops, bad = [], []


def sh(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout.strip()


def check(ok, what):
    if not ok:
        bad.append(what)
        print("FAIL:", what)


try:
    for i in range(3):
        with open(f"{scratch}/back{i}", "wb") as f:
            f.truncate(16 << 20)
        loops.append(sh("losetup", "-f", "--show", f"{scratch}/back{i}"))
    os.mkdir(cgroup)
    mm = sh("lsblk", "-dno", "MAJ:MIN", loops[1])
    for name, rule in ([(f"blkio.throttle.{rw}_iops_device", f"{mm} 200") for rw in ("read", "write")]
                       if V1 else [("io.max", f"{mm} riops=200 wiops=200")]):
        with open(f"{cgroup}/{name}", "w") as f:
            f.write(rule + "\n")
    with open(f"{scratch}/devices", "w") as f:
        f.write("".join(f"node{i + 1} {d}\n" for i, d in enumerate(loops)) + "node4 /nonexistent\n")
    run = subprocess.run(
        ["sh", "-c", f'echo $$ >{cgroup}/cgroup.procs && exec "$@"', "sh", tool, "-R", "exec",
         "-D", f"{scratch}/devices", "-o", f"{scratch}/out", "--margin=2", "--tolerance=250",
         "--vexbench", vexbench, "--remote-dir", scratch, "--", "-rq", "--lat", "--tm=1",
         "--size=16", "--min=4096", "--max=4096", "--th1=1", "--th2=2", "--th3=0"],
        capture_output=True, text=True, timeout=120, check=False)
    print(run.stdout, run.stderr)
    check(run.returncode == 1, f"status {run.returncode}")
    check("failed: node4: vexbench status 1: " in run.stdout, "node4 not reported")
    with open(f"{scratch}/out/merged.json", encoding="utf-8") as f:
        merged = json.load(f)
    hosts = {}
    for h in ("node1", "node2", "node3"):
        with open(f"{scratch}/out/{h}.json", encoding="utf-8") as f:
            hosts[h] = json.load(f)["cells"]
    check(len(merged["cells"]) == 2, "two cells")
    for k, c in enumerate(merged["cells"]):
        for field in ("transfers", "iops", "bytes_per_second"):
            check(c[field] == sum(cells[k][field] for cells in hosts.values()), f"{field} of {k}")
        check(c["window_skew_ms"] <= 250 and not c["skewed"], f"skew {c['window_skew_ms']}")
        check(c["outliers"] == ["node2"], f"outliers {c['outliers']}")
    check([(h["host"], h["ok"]) for h in merged["hosts"]] ==
          [("node1", True), ("node2", True), ("node3", True), ("node4", False)], "hosts")
    r = subprocess.run([plot, "-o", f"{scratch}/plot", f"{scratch}/out/merged.json"],
                       capture_output=True, text=True, check=False)
    check(r.returncode in (0, 77) and (r.returncode or os.path.getsize(f"{scratch}/plot/iops.png")),
          f"vexbench-plot: {r.returncode} {r.stderr}")
finally:
    if os.path.isdir(cgroup):
        os.rmdir(cgroup)
    for dev in loops:
        subprocess.run(["losetup", "-d", dev], check=False)
    shutil.rmtree(scratch)
print("fleet:", "FAILED" if bad else "ok")
sys.exit(1 if bad else 0)

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""xtl-maint check, measured side by side in one run:
  - a sparse image with 1 MiB write blocks, WRITTEN of them filled with
    sound write blocks (SEGS segments each, true checksums), on a loop device;
  - write blocks checked per second;
  - bytes the check read at the device (the loop device's sectors-read
    counter) against the minimum, 4096 bytes per header visited (the header
    block, two metadata blocks per written segment, one block per write
    block never written); the ratio must stay at or below 1.1;
  - the check's time next to dd reading the same number of 4 KiB blocks
    (iflag=direct, one 4 KiB request each), with the device's cache dropped
    before every run;
  - xtl-maint image of the same device (the same walk, each block read also
    written into a sparse file), its time against the check's in
    alternating pairs (the median of the pairs' ratios), and its file's
    allocated bytes against the metadata it read (at most 1.01).
DEV=slow runs it all on the slow device instead (scripts/slowdev.sh: the
image on tmpfs, every read answered after DELAY_US, default 80).
  - reads in flight, PAIRS (default 5) alternating rounds, medians: check at
    its default depth against fio (io_uring, depth 32, 4 KiB random reads,
    fixed buffers and registered files) on the same device, its reads per
    second (the loop device's read counter over its run) against fio's IOPS
    (at least 0.8); its time against check --qd=1 (at most 0.5 on tmpfs,
    0.15 on the slow device); and, with PREV (an earlier xtl-maint, one
    block at a time), --qd=1's time against PREV's (within 2%).
Usage: scripts/bench_check.py [build dir]   (default build; needs root)
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchstats import median_text, numbers, ratio_text  # noqa: E402  (beside this script)
from benchtools import exit_on_term, Failed, Loop, guarded, have, timed  # noqa: E402

def ratio(a, b):
    return ratio_text(a, b, 2)


def m(values):
    return median_text(values, as_given=True)


def secs_min(a, b):
    """The lower of two times in seconds (None: none yet)."""
    return a if b is None or float(a) < float(b) else b


class Bench:
    def __init__(self, binary, dev, work, headers):
        self.bin, self.dev, self.work, self.headers = binary, dev, work, headers

    def check_once(self):
        """One check run with the device cache dropped: (seconds, bytes)."""
        self.dev.flush()
        s0 = self.dev.stat(2)
        t, rc = timed([self.bin, "check", self.dev.loop], f"{self.work}/report")
        s1 = self.dev.stat(2)
        if rc != 0:
            with open(f"{self.work}/report", encoding="utf-8", errors="replace") as f:
                raise Failed(f"bench_check: check ended with status {rc}\n{f.read()}")
        return t, (s1 - s0) * 512

    def dd_once(self):
        self.dev.flush()
        return timed(["dd", f"if={self.dev.loop}", "of=/dev/null", "bs=4096", f"count={self.headers}",
                      "iflag=direct", "status=none"], os.devnull)[0]

    def image_once(self):
        """One image run with the device cache dropped: (seconds, allocated
        bytes, metadata bytes); the file goes at once."""
        self.dev.flush()
        copy = f"{self.work}/copy.img"
        t, _ = timed([self.bin, "image", self.dev.loop, copy], f"{self.work}/image.out")
        with open(f"{self.work}/image.out", encoding="utf-8", errors="replace") as f:
            meta = "\n".join(re.findall(r".* write blocks, ([0-9]+) bytes of metadata ", f.read()))
        alloc = os.stat(copy).st_blocks * 512
        os.remove(copy)
        return t, alloc, meta

    def timed_check(self, binary, *args):
        """(seconds, reads) of one check with the cache dropped."""
        self.dev.flush()
        r0 = self.dev.stat(0)
        t, rc = timed([binary, "check", self.dev.loop, *args], os.devnull)
        r1 = self.dev.stat(0)
        if rc != 0:
            raise Failed(f"bench_check: check {' '.join(args)} ended with status {rc}")
        return t, r1 - r0

    def fio_iops(self):
        self.dev.flush()
        out = subprocess.run(["fio", "--name=depth32", f"--filename={self.dev.loop}", "--ioengine=io_uring",
                              "--iodepth=32", "--rw=randread", "--bs=4k", "--fixedbufs=1", "--registerfiles=1",
                              "--time_based", f"--runtime={os.environ.get('FIO_SECONDS', '3')}",
                              "--output-format=json"], stdout=subprocess.PIPE, check=False).stdout
        return str(round(json.loads(out)["jobs"][0]["read"]["iops"]))


def walk(b, total, note, min_bytes):
    """The check, dd and image, best of 3 (image: median of 3 pairs)."""
    best_check = best_dd = None
    image_ratios = []
    for _ in range(3):
        s, nbytes = b.check_once()
        image_s, alloc, meta = b.image_once()
        image_ratios.append(ratio(image_s, s))
        best_check = secs_min(s, best_check)
        best_dd = secs_min(b.dd_once(), best_dd)
    w = os.environ
    print(f"check of {total} write blocks ({w['WRITTEN']} written, {w['SEGS']} segments each) on {b.dev.loop}{note}:")
    with open(f"{b.work}/report", encoding="utf-8", errors="replace") as f:
        print((f.read().splitlines() or [""])[-1])
    print(f"write blocks per second:   {total / float(best_check) if float(best_check) > 0 else 0:.0f} "
          f"(best of 3: {best_check} s)")
    print(f"bytes read by the check:   {nbytes}")
    print(f"minimum (4096 x {b.headers} headers): {min_bytes}")
    print(f"read ratio:                {ratio(nbytes, min_bytes)} (at most 1.10)")
    print(f"dd, {b.headers} x 4 KiB direct:  {best_dd} s (best of 3)")
    print(f"check time / dd time:      {ratio(best_check, best_dd)}")
    listed = "".join(r + " " for r in image_ratios)
    middle = sorted(image_ratios, key=lambda x: float(x) if numbers([x]) else 0)[1]
    print(f"image time / check time:   {middle} (median of 3 pairs: {listed})")
    print(f"image allocated / read:    {ratio(alloc, meta)} ({alloc} of {meta} bytes; at most 1.01)")
    if not alloc <= 1.01 * float(meta or 0):
        raise Failed("bench_check: the image took more than the metadata read + 1%")
    if not nbytes <= 1.1 * min_bytes:
        raise Failed("bench_check: the check read more than 1.1 times the minimum")


def in_flight(b):
    """Reads in flight. The run right after an io_uring run is the slower
    here, whichever it is, so --qd=1 and PREV take turns at coming first."""
    prev = os.environ.get("PREV", "")
    pairs = int(os.environ.get("PAIRS", "5"))
    r = {k: [] for k in ("q_t", "q_rate", "one_t", "prev_t", "fio", "depth", "prev", "rate")}
    for n in range(1, pairs + 1):
        tq, nq = b.timed_check(b.bin)
        f = b.fio_iops()
        if prev and n % 2 == 0:
            tp, _ = b.timed_check(prev)
        t1, _ = b.timed_check(b.bin, "--qd=1")
        if prev and n % 2 == 1:
            tp, _ = b.timed_check(prev)
        rate = f"{nq / float(tq):.0f}"
        r["q_t"].append(tq), r["one_t"].append(t1), r["fio"].append(f), r["q_rate"].append(rate)
        r["depth"].append(ratio(tq, t1)), r["rate"].append(ratio(rate, f))
        if prev:
            r["prev_t"].append(tp), r["prev"].append(ratio(t1, tp))
    listed = {k: "".join(x + " " for x in v) for k, v in r.items()}
    print()
    print(f"reads in flight, {pairs} alternating rounds (medians; each round's ratio in brackets):")
    print(f"check, default depth:      {m(r['q_t'])} s, {m(r['q_rate'])} reads/s")
    print(f"fio io_uring, depth 32:    {m(r['fio'])} IOPS")
    print(f"check reads/s / fio IOPS:  {m(r['rate'])} ({listed['rate']}; at least 0.8)")
    print(f"check --qd=1:              {m(r['one_t'])} s")
    print(f"default / --qd=1 time:     {m(r['depth'])} ({listed['depth']}; at most 0.5 on tmpfs, 0.15 slow)")
    if prev:
        print(f"earlier binary:            {m(r['prev_t'])} s")
        print(f"--qd=1 / earlier time:     {m(r['prev'])} ({listed['prev']}; within 2%)")


def run(build, binary, fill, dev_kind):
    for k, v in (("SIZE_MIB", "5120"), ("WRITTEN", "5000"), ("SEGS", "4")):  # 5119 write blocks after the first MiB
        os.environ.setdefault(k, v)
    work = tempfile.mkdtemp(prefix="xtl-bench-check-", dir="/dev/shm")
    dev = Loop(dev_kind == "slow", os.environ.get("DELAY_US", "80"))
    if dev.slow:
        os.environ["SLOWFS"] = os.environ.get("SLOWFS") or os.path.realpath(f"{build}/tests/slowfs")

    def body():
        w = os.environ
        out = subprocess.run([fill, f"{work}/dev.img", w["SIZE_MIB"], w["WRITTEN"], w["SEGS"]],
                             stdout=subprocess.PIPE, check=True).stdout.decode().split()
        total, metas = int(out[0]), int(out[1])
        dev.up(f"{work}/dev.img")
        if have("udevadm"):
            subprocess.run(["udevadm", "settle"], stderr=subprocess.DEVNULL, check=False)
        note = f" (slow device, {dev.delay} us a read)" if dev.slow else ""
        headers = 1 + metas + total - int(w["WRITTEN"])
        b = Bench(binary, dev, work, headers)
        walk(b, total, note, headers * 4096)
        if not have("fio"):
            raise Failed("bench_check: fio is missing (scripts/setup.sh)")
        in_flight(b)

    def cleanup():
        dev.down()
        shutil.rmtree(work, ignore_errors=True)
    return guarded(body, cleanup)


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    exit_on_term()
    build = argv[1] if len(argv) > 1 else "build"
    binary, fill = f"{build}/maint/xtl-maint", f"{build}/tests/wtblk_fill"
    if not (os.access(binary, os.X_OK) and os.access(fill, os.X_OK)):
        print(f"bench_check: build {binary} and {fill} first (scripts/build.sh)", file=sys.stderr)
        return 1
    if os.getuid() != 0:
        print("bench_check: needs root for a loop device", file=sys.stderr)
        return 1
    dev_kind = os.environ.get("DEV", "tmpfs")
    if dev_kind not in ("tmpfs", "slow"):
        print("bench_check: DEV is tmpfs or slow", file=sys.stderr)
        return 1
    return run(build, os.path.realpath(binary), fill, dev_kind)


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Log tool throughput, measured side by side in one run and printed as ratios:
  log scan  of 512 MiB and 1 GiB temp files whose only segments lie near
            their start (so the scan reads the whole file backward), against
            cat FILE >/dev/null, on tmpfs (/dev/shm) and on an ext4 file
            system on a loop device backed by a file under /var/tmp (and, for
            scale, dd reading 512-byte sectors one system call each);
  log copy  against dd copying the same file in 1 MiB pieces;
  log clear against dd writing 4 MiB pieces, each synced (oflag=dsync);
  --undo=   the cost of an undo file: log clear of a 1 GiB log device (its
            first UNDO_FULL_MB MiB random, the rest zero) and log post of a
            64 MiB log (32 segments of 4095 sectors onto random old data),
            each against the same command without --undo=, in UNDO_RUNS
            alternating pairs, medians (UNDO_ONLY=1: only these rows).
Usage: scripts/bench_log.py [path/to/xtl-maint]   (default build/maint/xtl-maint)
Files go under /var/tmp and /dev/shm; the loop devices (scan's file system,
clear's target) need root, else the scan's disk case runs on /var/tmp itself
and clear on an image file. Everything is removed at the end.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchstats import median_text, ratio_text  # noqa: E402  (beside this script)
from benchtools import exit_on_term, Failed, child_times, guarded, have, run_out, timed  # noqa: E402

SCAN_SIZES_MB = (512, 1024)
COPY_MB = 256
CLEAR_MB = 256
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def ratio(a, b):
    return ratio_text(a, b, 2)


def lower(a, b):
    """The lower of two times (None: none yet)."""
    return a if b is None or float(a) < float(b) else b


def best3(cmd):
    """The best of three runs of a command, in seconds."""
    best = None
    for _ in range(3):
        best = lower(timed(cmd, os.devnull, subprocess.DEVNULL)[0], best)
    return best


def best3t(cmd):
    """The best of three runs of a command: (wall, cpu) in seconds, each the
    least of its three (cpu: user and system time of the command, which a
    loaded machine disturbs far less than the wall clock)."""
    bw = bc = None
    for _ in range(3):
        user, system, wall = child_times(cmd, os.devnull)
        bw, bc = lower(f"{wall:.3f}", bw), lower(f"{user + system:.3f}", bc)
    return bw, bc


def put_segment(path, ctl, seq, target, cnt):
    """Writes a control sector with one type-0 entry of cnt sectors at
    sector ctl."""
    sector = struct.pack("<Q", target | (cnt << 48)) + bytes(448 - 8 + 16) + struct.pack("<IIQ", 1, cnt, seq)
    sector += b"XTL-LOG 1.0\0" + bytes(20)
    with open(path, "r+b") as f:
        f.seek(ctl * 512)
        f.write(sector)


def fill(path, mb, random=False, keep=False):
    """mb MiB of zeros (or random bytes) at the start of path (truncated
    unless keep)."""
    with open(path, "r+b" if keep else "wb") as f:
        for _ in range(mb):
            f.write(os.urandom(1 << 20) if random else bytes(1 << 20))


class Log:
    def __init__(self, binary):
        self.bin = binary
        self.work = tempfile.mkdtemp(prefix="xtl-bench-log-", dir="/var/tmp")
        self.shm = tempfile.mkdtemp(prefix="xtl-bench-log-", dir="/dev/shm")
        self.loop = self.fsloop = ""
        self.runs = int(os.environ.get("UNDO_RUNS", "5"))
        self.full_mb = int(os.environ.get("UNDO_FULL_MB", "128"))

    def cleanup(self):
        if self.fsloop:
            subprocess.run(["umount", f"{self.work}/mnt"], check=False, **QUIET)
            subprocess.run(["losetup", "-d", self.fsloop], check=False, **QUIET)
        if self.loop:
            subprocess.run(["losetup", "-d", self.loop], check=False, **QUIET)
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.shm, ignore_errors=True)

    def timed_after(self, setup, cmd):
        """One timed run of a command after a set-up command: seconds."""
        setup()
        t, rc = timed(cmd, os.devnull, subprocess.DEVNULL)
        if rc != 0:
            raise Failed(f"bench_log: {' '.join(cmd)} failed")
        return t

    def undo_pairs(self, setup, cmd):
        """Alternating pairs of the command without and with --undo=FILE:
        (plain median, undo median, undo file bytes)."""
        undo = f"{self.work}/u.undo"

        def with_undo():
            setup()
            if os.path.exists(undo):
                os.remove(undo)
            return self.timed_after(lambda: None, [*cmd, f"--undo={undo}"])
        plain, withs = [], []
        for i in range(self.runs):
            if i % 2:  # the order turns every pair
                b = with_undo()
                a = self.timed_after(setup, cmd)
            else:
                a = self.timed_after(setup, cmd)
                b = with_undo()
            plain.append(a)
            withs.append(b)
        return median_text(plain, as_given=True), median_text(withs, as_given=True), os.stat(undo).st_size

    def dd_setup(self, src, dev, *opts):
        return lambda: subprocess.run(["dd", f"if={src}", f"of={dev}", *opts, "status=none"], check=False)

    def undo_clear(self):
        """log clear of 1 GiB."""
        img, orig = f"{self.work}/uclear.img", f"{self.work}/uclear.orig"
        with open(img, "wb") as f:
            f.truncate(1 << 30)
        fill(img, self.full_mb, random=True, keep=True)
        subprocess.run(["cp", "--sparse=always", img, orig], check=True)
        dev = attach(img)
        try:
            return self.undo_pairs(self.dd_setup(orig, dev, "bs=1M", f"count={self.full_mb}", "conv=notrunc,fsync"),
                                   [self.bin, "log", "clear", dev, "--force"])
        finally:
            detach(dev)
            os.remove(img)
            os.remove(orig)

    def undo_post(self):
        """log post of 64 MiB: segments back to back from sector 1, random data."""
        w = self.work
        fill(f"{w}/ulog.img", 65, random=True)
        for i in range(32):
            put_segment(f"{w}/ulog.img", 4096 * (i + 1), 100 + i, i * 4095, 4095)
        os.makedirs(f"{w}/utmp", exist_ok=True)
        if "num segments = 32" not in run_out([self.bin, "log", "copy", f"{w}/ulog.img", f"--tmpdir={w}/utmp"])[0]:
            raise Failed("bench_log: the post log did not scan")
        fill(f"{w}/upost.orig", 80, random=True)
        shutil.copyfile(f"{w}/upost.orig", f"{w}/upost.img")
        dev = attach(f"{w}/upost.img")
        try:
            return self.undo_pairs(self.dd_setup(f"{w}/upost.orig", dev, "bs=4M", "conv=notrunc,fsync"),
                                   [self.bin, "log", "post", dev, f"--tmpdir={w}/utmp", "--force"])
        finally:
            detach(dev)
            for f in ("ulog.img", "upost.orig", "upost.img"):
                os.remove(f"{w}/{f}")
            shutil.rmtree(f"{w}/utmp")

    def undo_rows(self, clear, post):
        p, w, b = clear
        rows = [f"{'log clear, 1 GiB, --undo= vs without':<44} {w:>9}s {p:>9}s {ratio(w, p):>8}",
                f"{f'  undo file ({self.full_mb} MiB non-zero)':<44} {str(b // 1048576) + ' MiB':>10}"]
        p, w, b = post
        rows += [f"{'log post, 64 MiB log, --undo= vs without':<44} {w:>9}s {p:>9}s {ratio(w, p):>8}",
                 f"{'  undo file':<44} {str(b // 1048576) + ' MiB':>10}",
                 f"(medians of {self.runs} alternating pairs; ratio = with --undo= / without)"]
        return "\n".join(rows)

    def scan_vs_cat(self, d, mb):
        """A temp file of mb MiB in directory d with 16 segments near its
        start: (scan wall, scan cpu, cat wall, cat cpu), best of three, page
        cache warm for both."""
        os.makedirs(d, exist_ok=True)
        log = f"{d}/xtl.log"
        self.sixteen(log, mb)
        os.chmod(log, 0o400)
        if "num segments = 16" not in run_out([self.bin, "log", "scan", f"--tmpdir={d}"])[0]:
            raise Failed(f"bench_log: scan of {d} failed")
        subprocess.run(["cat", log], stdout=subprocess.DEVNULL, check=False)
        return (*best3t([self.bin, "log", "scan", f"--tmpdir={d}"]), *best3t(["cat", log]))

    @staticmethod
    def sixteen(path, mb):
        """mb MiB of zeros with 16 segments of 8 sectors near the start."""
        fill(path, mb)
        for i in range(16):
            put_segment(path, 9 + i * 9, 100 + i, 1000 + i * 8, 8)

    def disk(self):
        """The scan's disk: ext4 on a loop device (root, mkfs.ext4), else
        /var/tmp itself; (directory, name)."""
        if os.getuid() != 0 or not have("mkfs.ext4"):
            return self.work, "/var/tmp (no loop: not root, or no mkfs.ext4)"
        img, mnt = f"{self.work}/fs.img", f"{self.work}/mnt"
        with open(img, "wb") as f:
            f.truncate(1600 << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", img], check=True)
        self.fsloop = attach(img)
        os.makedirs(mnt, exist_ok=True)
        subprocess.run(["mount", self.fsloop, mnt], check=True)
        return mnt, "ext4 on loop"


def attach(path):
    if os.getuid() != 0:
        return path
    return subprocess.run(["losetup", "--find", "--show", path], stdout=subprocess.PIPE,
                          check=True).stdout.decode().strip()


def detach(dev):
    if dev.startswith("/dev/"):
        subprocess.run(["losetup", "-d", dev], check=False)


def mbps(mb, s):
    return f"{mb / float(s):.0f} MiB/s" if float(s) > 0 else "n/a"


def scans(g):
    """The scan rows (medium, MiB, scan wall, scan cpu, cat wall, cat cpu)
    and the 1 GiB scan against dd reading one sector a call."""
    disk, diskname = g.disk()
    rows = []
    for mb in SCAN_SIZES_MB:
        rows.append(("tmpfs", mb, *g.scan_vs_cat(f"{g.shm}/s{mb}", mb)))
        shutil.rmtree(f"{g.shm}/s{mb}")
        rows.append(("disk", mb, *g.scan_vs_cat(f"{disk}/s{mb}", mb)))
        shutil.rmtree(f"{disk}/s{mb}")
    scandir = f"{g.work}/scan"
    os.makedirs(scandir, exist_ok=True)
    tmplog, scan_mb = f"{scandir}/xtl.log", 1024
    fill(tmplog, scan_mb)
    subprocess.run(["cat", tmplog], stdout=subprocess.DEVNULL, check=False)
    t_scan = best3([g.bin, "log", "scan", f"--tmpdir={scandir}"])
    t, _ = timed(["dd", f"if={tmplog}", "of=/dev/null", "bs=512", f"count={64 * 2048}", "status=none"], os.devnull)
    os.remove(tmplog)
    return rows, t_scan, f"{float(t) * scan_mb / 64:.3f}", diskname


def copy_and_clear(g):
    """log copy against dd (and the scan of the copy), log clear against dd."""
    copydir, src = f"{g.work}/copy", f"{g.work}/logdev.img"
    os.makedirs(copydir, exist_ok=True)
    g.sixteen(src, COPY_MB)
    subprocess.run(["cat", src], stdout=subprocess.DEVNULL, check=False)
    t = {"copy": best3([g.bin, "log", "copy", src, f"--tmpdir={copydir}"]),
         "ddcopy": best3(["dd", f"if={src}", f"of={copydir}/dd.out", "bs=1M", "status=none"]),
         # log copy also scans the copy it made; shown so the copy's own share is clear.
         "copyscan": best3([g.bin, "log", "scan", f"--tmpdir={copydir}"])}
    target = f"{g.work}/clear.img"
    fill(target, CLEAR_MB)
    if os.getuid() == 0:
        p = subprocess.run(["losetup", "--find", "--show", target], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, check=False)
        if p.returncode == 0:
            g.loop = target = p.stdout.decode().strip()
    t["clear"] = best3([g.bin, "log", "clear", target])
    t["ddclear"] = best3(["dd", "if=/dev/zero", f"of={target}", "bs=4M", f"count={CLEAR_MB // 4}", "oflag=dsync",
                          "conv=notrunc", "status=none"])
    return t, target


def table(rows, t_scan, t_sect, t, undo, notes):
    def row(label, a, b, r):
        return f"{label:<44} {a:>9}s {b:>9}s {r:>8}"
    out = ["", f"{'operation':<44} {'xtl-maint':>10} {'reference':>10} {'ratio':>8}"]
    for medium, mb, sw, sc, cw, cc in rows:
        out.append(row(f"log scan, {mb} MiB on {medium} vs cat, wall", sw, cw, ratio(sw, cw)))
        out.append(row("                           user+system", sc, cc, ratio(sc, cc)))
    out.append(row("log scan, 1 GiB vs dd bs=512 (one call/sector)", t_scan, t_sect, ratio(t_scan, t_sect)))
    out.append(row(f"log copy, {COPY_MB} MiB vs dd bs=1M (+scan below)", t["copy"], t["ddcopy"],
                   ratio(t["copy"], t["ddcopy"])))
    out.append(f"{'  of which the scan of the copy':<44} {t['copyscan']:>9}s {'':>9} {'':>8}")
    out.append(row(f"log clear, {CLEAR_MB} MiB vs dd bs=4M oflag=dsync", t["clear"], t["ddclear"],
                   ratio(t["clear"], t["ddclear"])))
    out.append(f"{'  throughput':<44} {mbps(COPY_MB, t['copy']):>10} {mbps(COPY_MB, t['ddcopy']):>10}")
    out.append(f"{'  clear throughput':<44} {mbps(CLEAR_MB, t['clear']):>10} {mbps(CLEAR_MB, t['ddclear']):>10}")
    out.append(undo)
    out.append(f"(disk: {notes[0]}; clear target: {notes[1]}; ratio = xtl-maint time / reference time,")
    out.append(" lower is faster; the scan keeps 0.8 of cat's speed while its ratio is 1.25 or less)")
    return "\n".join(out)


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    exit_on_term()
    binary = argv[1] if len(argv) > 1 else "build/maint/xtl-maint"
    if not (os.path.isfile(binary) and os.access(binary, os.X_OK)):
        print(f"bench_log: no executable at {binary}", file=sys.stderr)
        return 1
    g = Log(os.path.realpath(binary))

    def body():
        print(f"xtl-maint log benchmark ({g.bin}), files under {g.work}")
        undo = g.undo_rows(g.undo_clear(), g.undo_post())
        if os.environ.get("UNDO_ONLY", "0") == "1":
            print()
            print(undo)
            return 0
        rows, t_scan, t_sect, diskname = scans(g)
        t, target = copy_and_clear(g)
        print(table(rows, t_scan, t_sect, t, undo, (diskname, target)))
        return 0
    return guarded(body, g.cleanup)


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The plumbing of the benchmark drivers: a loop device over tmpfs, a
sampler of the device's counters, the CPU time of a command and its
processes, and the tools the drivers install when they are missing."""

import mmap
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time


SLOWDEV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "slowdev.sh")


class Failed(Exception):
    """A step that failed: its message goes to standard error."""


def guarded(body, cleanup):
    """Runs body: its status (0 for None). A Failed step's message goes to
    standard error and a failed set-up command ends it, both with status 1;
    cleanup runs in any case."""
    try:
        return body() or 0
    except Failed as e:
        print(e, file=sys.stderr)
        return 1
    except subprocess.CalledProcessError:
        return 1
    finally:
        cleanup()


def exit_on_term():
    """SIGTERM and SIGHUP end the driver as Ctrl-C does: through its
    clean-up (devices detached, mounts and files removed)."""
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))


def run_out(cmd, stderr=None):
    """Runs cmd: (its standard output, its status); standard error goes to
    ours, or where stderr says (subprocess.STDOUT: into the output)."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=stderr, stdin=subprocess.DEVNULL, check=False)
    return p.stdout.decode("utf-8", "replace"), p.returncode


def have(tool):
    return shutil.which(tool) is not None


def install(*packages):
    """apt-get install, with an update first when the lists are stale."""
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    if subprocess.run(["apt-get", "install", "-y", *packages], check=False, **quiet).returncode == 0:
        return True
    if subprocess.run(["apt-get", "update"], stdout=subprocess.DEVNULL, check=False).returncode != 0:
        return False
    return subprocess.run(["apt-get", "install", "-y", *packages], stdout=subprocess.DEVNULL,
                          check=False).returncode == 0


def load_average():
    with open("/proc/loadavg", encoding="ascii") as f:
        return " ".join(f.read().split()[:3])


def stat_fields(path):
    """The counters of /sys/block/DEV/stat (0 reads completed, 2 sectors
    read, 4 writes completed, 6 sectors written)."""
    with open(path, encoding="ascii") as f:
        return [int(x) for x in f.read().split()]


def timed(cmd, out_path, stderr=None):
    """Runs cmd (standard output to out_path, standard error to ours or
    where stderr says): (the wall clock's "SECONDS" to the millisecond, its
    status)."""
    with open(out_path, "wb") as out:
        t0 = time.monotonic_ns()
        rc = subprocess.run(cmd, stdout=out, stderr=stderr, stdin=subprocess.DEVNULL, check=False).returncode
        t1 = time.monotonic_ns()
    return f"{(t1 - t0) / 1e9:.3f}", rc


def child_times(cmd, out_path):
    """Runs cmd (standard output to out_path, errors dropped): the user,
    system and wall seconds of it and all its processes, to the
    millisecond."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall, _ = timed(cmd, out_path, subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (round(after.ru_utime - before.ru_utime, 3), round(after.ru_stime - before.ru_stime, 3), float(wall))


def cpu_run(stat, fields, cmd, out_path):
    """(CPU seconds, requests): user + system time of cmd and its processes,
    and the requests the device completed meanwhile (the stat fields
    summed: 0 reads, 4 writes)."""
    b = stat_fields(stat)
    user, system, _ = child_times(cmd, out_path)
    a = stat_fields(stat)
    return round(user + system, 3), sum(a[f] - b[f] for f in fields)


def per_xfer(cpu, requests):
    """Microseconds of CPU per completed request."""
    return f"{cpu * 1e6 / requests:.2f}" if requests > 0 else "n/a"


WORK_CPUS = "/sys/devices/virtual/workqueue/cpumask"


class Placed:
    """Within the block the kernel's unbound work queues (a loop device's
    copies among them) run on the CPUs of the mask work (hex); the prefix
    (taskset) puts a tool on the CPUs of the list tools. The mask is put
    back at the end, however the block ends."""

    def __init__(self, tools, work, mask_path=WORK_CPUS):
        self.prefix, self.work, self.path, self.saved = ["taskset", "-c", tools], work, mask_path, None

    def __enter__(self):
        with open(self.path, encoding="ascii") as f:
            self.saved = f.read().strip()
        with open(self.path, "w", encoding="ascii") as f:
            f.write(self.work)
        return self.prefix

    def __exit__(self, *_):
        with open(self.path, "w", encoding="ascii") as f:
            f.write(self.saved)


class Sampler:
    """Until the block ends, samples the device's sectors read and written
    every 10 ms (time in seconds since the epoch, the clock of vexbench's
    window_start_ms). A thread of this process: it takes next to no CPU from
    the tools measured."""

    def __init__(self, stat):
        self.stat = stat
        self.samples = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.loop, daemon=True)

    def loop(self):
        while True:
            f = stat_fields(self.stat)
            self.samples.append((time.time(), f[2], f[6]))
            if self.stop.wait(0.01):
                return

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()

    def series(self, rw):
        """[(time, sectors)] of reads or writes."""
        col = 2 if rw == "write" else 1
        return [(s[0], s[col]) for s in self.samples]


class Device:
    """A loop device over a file on a tmpfs mount of its own (SIZE_MB + 64
    MiB), and a work directory; path is None when none could be had."""

    def __init__(self, size_mb):
        self.size_mb = size_mb
        self.mnt = tempfile.mkdtemp(prefix="vexbench-bench-", dir="/var/tmp")
        self.img = f"{self.mnt}/img"
        self.work = tempfile.mkdtemp(prefix="vexbench-bench-work-", dir="/tmp")
        self.path = None
        self.mounted = False
        self.stat = ""

    def __enter__(self):
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.size_mb + 80}M", "tmpfs", self.mnt],
                          check=False).returncode != 0:
            return self
        self.mounted = True
        with open(self.img, "wb") as f:
            f.truncate((self.size_mb + 64) << 20)
        for _ in range(5):
            p = subprocess.run(["losetup", "-f", "--show", self.img], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, check=False)
            if p.returncode == 0 and p.stdout.strip():
                self.path = p.stdout.decode().strip()
                break
            time.sleep(1)
        if self.path is None:
            print("no loop device", file=sys.stderr)
            return self
        self.stat = f"/sys/block/{os.path.basename(self.path)}/stat"
        return self

    def __exit__(self, *exc):
        if self.path:
            subprocess.run(["losetup", "-d", self.path], check=False)
        # The loop device lets go of its file a moment after losetup -d:
        # the mount is tried again, then detached lazily, so that neither
        # it nor the directory is left behind.
        for _ in range(20 if self.mounted else 0):
            if subprocess.run(["umount", self.mnt], stderr=subprocess.DEVNULL, check=False).returncode == 0:
                self.mounted = False
                break
            time.sleep(0.25)
        if self.mounted:
            subprocess.run(["umount", "-l", self.mnt], check=False)
        try:
            os.rmdir(self.mnt)
        except OSError as e:
            print(f"{self.mnt} left behind: {e.strerror}", file=sys.stderr)
        shutil.rmtree(self.work, ignore_errors=True)

    def write_sector(self, sector, data):
        """Writes one 512-byte sector past the page cache."""
        buf = mmap.mmap(-1, 4096)  # page-aligned, as O_DIRECT wants
        buf.write(data)
        fd = os.open(self.path, os.O_WRONLY | os.O_DIRECT)
        try:
            os.pwrite(fd, memoryview(buf)[:len(data)], sector * 512)
        finally:
            os.close(fd)


class Loop:
    """A loop device over an image, or the slow device over it
    (scripts/slowdev.sh)."""

    def __init__(self, slow, delay="80"):
        self.slow, self.delay, self.loop = slow, delay, ""

    def up(self, image):
        cmd = [SLOWDEV, "up", image, "0", self.delay] if self.slow else \
            ["losetup", "--find", "--show", image]
        self.loop = subprocess.run(cmd, stdout=subprocess.PIPE, check=True).stdout.decode().strip()
        return self.loop

    def down(self):
        if self.loop:
            cmd = [SLOWDEV, "down", self.loop] if self.slow else ["losetup", "-d", self.loop]
            subprocess.run(cmd, stderr=subprocess.DEVNULL if not self.slow else None, check=False)

    def flush(self):
        subprocess.run(["blockdev", "--flushbufs", self.loop], check=True)

    def stat(self, field):
        """A counter of the loop device (0 reads completed, 2 sectors read)."""
        return stat_fields(f"/sys/block/{os.path.basename(self.loop)}/stat")[field]

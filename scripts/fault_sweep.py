#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The fault sweep.

Runs each command of both programs once cleanly under the preloaded fault
library (tests/fault/inject.cpp) to count its I/O calls on the files of the
run, then again for every call N of every kind: failing it with EIO, halving
it (reads and writes), and killing the process at it (writes, syncs and
renames). For each case it asserts:
  - a failed call ends with status 1 and one message (a line with "rror";
    log post's per-entry report lines aside), never 0, a signal or a hang;
    check's status is 1 too;
  - a halved transfer leaves the output (digits aside for vexbench) and the
    written bytes as the clean run had them;
  - a failed image leaves neither the image nor its log copy;
  - after a kill, log post and log clear run again give the clean run's
    bytes, and a log scan after a killed log copy sees the earlier whole
    temp file or none;
  - the wrong-device guards of format, log post and log clear fail closed:
    with a read of the target failed (all such reads are the guard's), the
    command ends with status 1 and one message and the target keeps its
    bytes;
  - with --undo=FILE (and for undo itself, run on a log post's undo file),
    after the clean run and after every failed, halved or killed call, undo
    FILE (run again after a killed undo) gives back the bytes the target had
    before, byte for byte (sha256);
  - nothing is left: no process holding a file of the run, no new System V
    segment of a process that is gone and not marked for removal, no partial
    temp file (the partial copy of a killed log copy aside: only SIGKILL can
    leave it, and it never has the temp file's name).
A failed call the command recovers from (the log scan reads a failed piece
again sector by sector) must leave the clean run's result. A worker of
vexbench takes a short transfer as a failed one: status 1, one message.
Prints a table: command, call kind and action, cases, passed.
  scripts/fault_sweep.py [--sample] [BUILD_DIR]     (FAULT_ONLY=regex: those commands)
--sample (the suite's ctest test) takes the first, middle and last call of
each kind of the xtl-maint runs and of vexbench's fill, and of vexbench's
timed runs only the failure of the first call of each kind. Without it every
call of the xtl-maint runs is taken, and of vexbench's runs the first 4 calls
of each kind and three spread over the rest.
"""

import fnmatch
import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VB = "--size=8 --tm=1 --min=4096 --max=4096 --th1=1 --th2=0 --th3=0"
TIMED = ("vexbench -r", "vexbench -w")

# name|kinds|files it needs|command line[|the one file whose calls count];
# C stands for the case's directory, M for xtl-maint, B for vexbench.
CASES = f"""
format|open read write sync|fresh.img|M format C/fresh.img -q
format --autovm|open read write sync|fresh.img|M format C/fresh.img -q --autovm --dedupe=200 --comp=200
status|open read|xtl.img|M status C/xtl.img
dump|open read|wtblk.img|M dump C/wtblk.img 1
check|open read|wtblk.img|M check C/wtblk.img --qd=1
check --qd=32|open read|wtblk.img|M check C/wtblk.img --qd=32
log copy|open read write sync rename|log.img old|M log copy C/log.img --tmpdir=C/old
image|open read write sync rename|wtblk.img log.img|M image C/wtblk.img C/copy.img --log=C/log.img --qd=1
log scan|open read|tmp|M log scan --tmpdir=C/tmp
log disp|open read|tmp|M log disp --tmpdir=C/tmp
log post|open read write sync|tmp target.img|M log post C/target.img --tmpdir=C/tmp
log clear|open write sync|logdev.img|M log clear C/logdev.img
format guard|read|fresh.img|M format C/fresh.img -q|fresh.img
log post guard|read|tmp target.img|M log post C/target.img --tmpdir=C/tmp|target.img
log clear guard|read|logdev.img|M log clear C/logdev.img|logdev.img
format --undo|open read write sync|xtl.img|M format C/xtl.img -q --force --undo=C/undo.u
format --autovm --undo|open read write sync|xtl.img|M format C/xtl.img -q --force --autovm --dedupe=200 --comp=200 --undo=C/undo.u
log post --undo|open read write sync|tmp target.img|M log post C/target.img --tmpdir=C/tmp --undo=C/undo.u
log clear --undo|open read write sync|logdev.img|M log clear C/logdev.img --undo=C/undo.u
undo|open read write sync|tmp target.img|M undo C/undo.u C/target.img
vexbench -c|open write|fresh.img|B -c {VB} C/fresh.img
vexbench -r|open read|bench.img|B -r {VB} C/bench.img
vexbench -w|open write|bench.img|B -w {VB} C/bench.img
"""


def picks(name, n, act, sample):
    """The calls N of a kind to sweep, of a clean run's count n."""
    if sample and name in TIMED:
        return [n // 2 if n > 1 else 1] if act == "fail" else []
    if sample:  # the first, the middle and the last
        return sorted({x for x in (1, n // 2, n) if x > 0})
    if not name.startswith("vexbench"):
        return list(range(1, n + 1))
    return sorted({x for x in [*range(1, min(n, 4) + 1), n // 4, n // 2, n * 3 // 4] if x > 0})


def masked(name, text):
    """The output as compared: vexbench's without digits and points."""
    if not name.startswith("vexbench"):
        return text
    return re.sub(" +", " ", re.sub("[0-9.]", "", text))


def messages(text):
    """The error messages of an output (log post's per-entry lines aside)."""
    skip = ("  Error reading from tmp file", "  Error writing to raw XTL device")
    return sum(1 for ln in text.replace("\r", "\n").split("\n") if "rror" in ln and not ln.startswith(skip))


def acts_of(name, kind):
    acts = ["fail"]
    if not name.endswith("guard") and kind in ("read", "write"):
        acts.append("short")
    if kind in ("write", "sync", "rename"):
        acts.append("kill")
    return acts


def table(total, passed):
    """The summary table, its rows in byte order (spaces sorting last)."""
    lines = ["", f"{'command':<16} {'call kind':<14} {'cases':>6} {'passed':>7}"]
    for row in sorted(total, key=lambda r: r.replace(" ", "~").encode()):
        name, kind = row.split("|", 1)
        lines.append(f"{name:<16} {kind:<14} {total[row]:6d} {passed.get(row, 0):7d}")
    return "\n".join(lines)


def read_text(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


def sha(path, algo="sha256"):
    h = hashlib.new(algo)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def shm_segments():
    """{shmid: (creator pid, marked for removal)} of the System V segments."""
    segs = {}
    with open("/proc/sysvipc/shm", encoding="ascii") as f:
        for line in list(f)[1:]:
            p = line.split()
            if len(p) > 4:
                segs[p[1]] = (int(p[4]), bool(int(p[2], 8) & 0o1000))
    return segs


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def holders(c):
    """Up to three open files of processes below the directory c."""
    found = []
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        if target.startswith(c + "/"):
            found.append(fd)
            if len(found) == 3:
                break
    return found


class Sweep:
    def __init__(self, build, sample):
        self.maint = f"{build}/maint/xtl-maint"
        self.bench = f"{build}/bench/vexbench"
        self.lib = f"{build}/tests/xtl_fault.so"
        self.build, self.sample = build, sample
        self.work = tempfile.mkdtemp(prefix="xtl-fault-", dir=os.environ.get("XTL_TEST_TMPDIR") or "/var/tmp")
        self.c = f"{self.work}/c"
        self.pristine = f"{self.work}/pristine"
        self.stamp = f"{self.work}/stamp"
        self.fails = 0
        self.total, self.passed = {}, {}
        self.clean_out = self.clean_sum = ""
        self.out, self.status, self.hits = "", 0, None

    def maint_quiet(self, *args):
        subprocess.run([self.maint, *args], stdout=subprocess.DEVNULL, check=False)

    def prepare(self):
        """The files of each command: a log image, a temp file copied from
        it, an empty log's temp file, a formatted image, write blocks for dump
        and check, a patterned post target and log device to clear, a filled
        bench image."""
        p = self.pristine
        os.mkdir(p)
        subprocess.run([f"{self.build}/tests/log_image", f"{p}/log.img"], check=False)
        for name, size in (("empty.img", 1), ("xtl.img", 64), ("fresh.img", 16), ("bench.img", 16)):
            with open(f"{p}/{name}", "wb") as f:
                f.truncate(size << 20)
        os.mkdir(f"{p}/tmp")
        os.mkdir(f"{p}/old")
        self.maint_quiet("log", "copy", f"{p}/empty.img", f"--tmpdir={p}/old")
        self.maint_quiet("log", "copy", f"{p}/log.img", f"--tmpdir={p}/tmp")
        self.maint_quiet("format", f"{p}/xtl.img", "-q")
        subprocess.run([f"{self.build}/tests/wtblk_fill", f"{p}/wtblk.img", "4", "2", "4"],
                       stdout=subprocess.DEVNULL, check=False)
        with open(f"{p}/logdev.img", "wb") as f:  # cleared in two pieces
            f.write(b"Z" * (5 << 20))
        with open(f"{p}/target.img", "wb") as f:
            f.write(b"Z" * (4 << 20))
        subprocess.run([self.bench, "-c", "--size=8", "--th1=1", "--th2=0", "--th3=0", f"{p}/bench.img"],
                       stdout=subprocess.DEVNULL, check=False)

    def words(self, cmdline):
        """The command line of a case, its C/ the case's directory."""
        return [self.maint if w == "M" else self.bench if w == "B" else w
                for w in cmdline.replace("C/", self.c + "/").split()]

    def run(self, case, kind, at, act):
        """Runs one case in a fresh copy of its files: out, status, hits."""
        name, _, files, cmdline, watch = case
        shutil.rmtree(self.c, ignore_errors=True)
        os.mkdir(self.c)
        for f in files.split():
            subprocess.run(["cp", "-a", "--sparse=always", f"{self.pristine}/{f}", self.c + "/"], check=False)
        if name == "undo":  # undo's own file: a log post's, made on this very copy (the undo checks the inode)
            self.maint_quiet("log", "post", f"{self.c}/target.img", f"--tmpdir={self.c}/tmp",
                             f"--undo={self.c}/undo.u")
        if name.startswith("vexbench"):
            self.shm_before = set(shm_segments())
        count = f"{self.work}/count"
        env = dict(os.environ, XTL_FAULT_PATH=f"{self.c}/{watch}", XTL_FAULT_COUNT=count,
                   XTL_FAULT_KIND=kind, XTL_FAULT_AT=str(at), XTL_FAULT_DO=act)
        with open(f"{self.work}/out", "wb") as out:
            rc = subprocess.run(["timeout", "-s", "KILL", "120", "env", f"LD_PRELOAD={self.lib}",
                                 *self.words(cmdline)], env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, check=False).returncode
        self.status = 128 - rc if rc < 0 else rc
        self.hits = None
        if os.path.exists(count):
            for line in read_text(count).splitlines():
                p = line.split()
                if len(p) > 1 and p[0] == "hits":
                    self.hits = p[1]
            os.replace(count, f"{self.work}/lastcount")
        self.out = read_text(f"{self.work}/out").replace(self.c + "/", "C/")

    def leftovers(self, name, allowed):
        """What a run left behind; empty when nothing."""
        left = ""
        if name.startswith("vexbench"):
            for _ in range(10):  # workers end with their parent, soon after it
                held = holders(self.c)
                left = "\n".join(held)
                if not held:
                    break
                time.sleep(0.2)
            # a new segment not marked for removal whose creator is gone
            for shmid, (pid, dest) in shm_segments().items():
                if shmid not in self.shm_before and not alive(pid) and not dest:
                    left += f" shm {shmid}"
        since = os.stat(self.stamp).st_mtime_ns
        for top, dirs, files in os.walk(self.c):
            for f in sorted(dirs + files):
                path = os.path.join(top, f)
                if (fnmatch.fnmatchcase(f, "xtl.log.*") and not fnmatch.fnmatchcase(f, allowed)
                        and os.lstat(path).st_mtime_ns > since):
                    left += "." + path[len(self.c):] + " "
        return left

    def digest(self, name):
        """Bytes and output a clean run leaves, to compare with."""
        if name.startswith("vexbench"):
            return ""
        if name.startswith("format"):  # the header's signature is random
            img = "xtl.img" if name.endswith("--undo") else "fresh.img"
            return subprocess.run([self.maint, "status", f"{self.c}/{img}"], stdout=subprocess.PIPE,
                                  check=False).stdout
        sums = []
        for top, _, files in os.walk(self.c):
            for f in files:
                path = os.path.join(top, f)
                rel = "." + path[len(self.c):]
                if os.path.isfile(path) and not os.path.islink(path) and f != "undo.u" and \
                        not fnmatch.fnmatchcase(rel, "./old/xtl.log*"):
                    sums.append((rel, sha(path, "md5")))
        return sorted(sums)

    def same(self, name):
        return self.status == 0 and masked(name, self.out) == self.clean_out and \
            self.digest(name) == self.clean_sum

    def undone(self, cmdline):
        """After a case of a command with --undo= (or of undo): undo, when the
        file was made, gives back the target's bytes as they were before."""
        t = next(w[2:] for w in cmdline.split() if w.startswith("C/") and w != "C/undo.u")
        u = f"{self.c}/undo.u"
        if os.path.exists(u):
            subprocess.run([self.maint, "undo", u, f"{self.c}/{t}"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
        return sha(f"{self.c}/{t}") == sha(f"{self.pristine}/{t}")

    def note(self, row, ok, text):
        self.total[row] = self.total.get(row, 0) + 1
        if ok:
            self.passed[row] = self.passed.get(row, 0) + 1
            return
        self.fails += 1
        print(f"FAIL {row}: {text}")
        lines = self.out.split("\n")
        for line in (lines[:-1] if lines[-1] == "" else lines)[:8]:
            print("    " + line)

    def judge(self, case, kind, act, n):
        """The verdict on one case of call n of a kind; False when the call
        was not reached (or no count came), which ends the checks of it."""
        name, cmdline, watch = case[0], case[3], case[4]
        row = f"{name}|{kind} {act}"
        what = f"N={n} status {self.status}"
        if self.hits is None and act != "kill":
            self.note(row, False, f"{what}: ended without its count (crash?)")
            return False
        if self.hits == "0":  # a timed run that ended before call N
            ok = self.status == 0 and masked(name, self.out) == self.clean_out
            self.note(row, ok, f"{what}: call not reached, yet the run differs")
            return False
        failed_once = self.status == 1 and messages(self.out) == 1
        if act == "fail" and name.endswith("guard"):  # refused, the target untouched
            ok = failed_once and sha(f"{self.c}/{watch}") == sha(f"{self.pristine}/{watch}")
            self.note(row, ok, f"{what}, {messages(self.out)} messages: the guard did not refuse")
        elif act == "fail":  # reported, or recovered from (the scan reads again sector by sector)
            no_copy = name != "image" or not glob.glob(f"{self.c}/copy.img*")  # a failed image leaves no file
            ok = (failed_once and no_copy) or self.same(name)
            self.note(row, ok, f"{what}, {messages(self.out)} messages (want status 1, one message)")
        elif act == "short":  # a worker's transfer is one measured unit: short, it fails
            ok = self.same(name) or (name in TIMED and failed_once)
            self.note(row, ok, f"{what}: the result changed")
        else:
            self.note(row, self.after_kill(name, cmdline), f"{what}: not the bytes of a whole run after the kill")
        return True

    def after_kill(self, name, cmdline):
        """A killed worker is reported by its parent ("res = 0": no count came)."""
        ok = self.status == 137 or (name.startswith("vexbench") and self.status == 1 and
                                    re.search("res = 0$", self.out, re.M) is not None)
        if name in ("log post", "log clear"):  # run again: the clean run's bytes
            rc = subprocess.run(self.words(cmdline), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                check=False).returncode
            ok = ok and rc == 0 and self.digest(name) == self.clean_sum
        elif name == "log copy":  # the earlier whole temp file or none
            scan = subprocess.run([self.maint, "log", "scan", f"--tmpdir={self.c}/old"], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, check=False).stdout.decode("latin-1")
            ok = ok and ("Log appears to be empty." in scan or "Cannot open temp file" in scan)
        return ok

    def clean(self, case):
        """The clean run of a case; its calls of each kind, None when it failed."""
        name = case[0]
        if self.sample and name in TIMED:
            return {"open": 1, "read": 1, "write": 1}  # the first call of each: no clean run needed
        self.run(case, "none", 0, "none")
        if self.status != 0:
            self.note(f"{name}|clean", False, f"clean run status {self.status}")
            return None
        self.clean_out = masked(name, self.out)
        self.clean_sum = self.digest(name)
        if undo_case(name):
            self.note(f"{name}|round trip", self.undone(case[3]), "undo after the clean run: not the bytes before")
        count = {}
        for line in read_text(f"{self.work}/lastcount").splitlines():
            p = line.split()
            if len(p) > 1:
                count[p[0]] = int(p[1])
        return count

    def sweep(self, case):
        name, kinds = case[0], case[1]
        open(self.stamp, "w").close()
        count = self.clean(case)
        if count is None:
            return
        for kind in kinds.split():
            for act in acts_of(name, kind):
                for n in picks(name, count.get(kind, 0), act, self.sample):
                    open(self.stamp, "w").close()
                    self.run(case, kind, n, act)
                    if self.judge(case, kind, act, n):
                        self.after_case(name, case[3], f"{kind} {act}", n)

    def after_case(self, name, cmdline, what, n):
        """The undo and the leftovers of a case ("KIND ACT" what)."""
        if undo_case(name):
            self.note(f"{name}|{what}, undo", self.undone(cmdline),
                      f"N={n} status {self.status}: undo did not give back the bytes before")
        left = self.leftovers(name, "xtl.log.*" if what.endswith("kill") else "none")
        if left:
            self.note(f"{name}|leftovers", False, f"N={n} {what} left: {left}")


def undo_case(name):
    return name.endswith("--undo") or name == "undo"


def cases():
    for line in CASES.strip().split("\n"):
        p = line.split("|")
        yield (*p, "") if len(p) == 4 else tuple(p)


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)
    args = argv[1:]
    sample = bool(args) and args[0] == "--sample"
    args = args[1:] if sample else args
    build = args[0] if args else f"{ROOT}/build"
    for f in ("maint/xtl-maint", "bench/vexbench", "tests/xtl_fault.so", "tests/log_image", "tests/wtblk_fill"):
        if not os.path.exists(f"{build}/{f}"):
            print(f"fault_sweep: {build}/{f} is missing (build the tests first)")
            return 1
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    s = Sweep(build, sample)
    only = os.environ.get("FAULT_ONLY", "")
    try:
        s.prepare()
        for case in cases():
            if not only or re.search(only, case[0]):
                s.sweep(case)
    except KeyboardInterrupt:
        return 1
    finally:
        shutil.rmtree(s.work, ignore_errors=True)
    print(table(s.total, s.passed))
    print("fault sweep: all cases passed" if s.fails == 0 else f"fault sweep: {s.fails} failed")
    return 0 if s.fails == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

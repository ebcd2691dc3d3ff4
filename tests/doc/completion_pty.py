#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The bash completion of both programs, typed into an interactive bash on a
pseudo-terminal with bash-completion loaded, as a user meets it.

usage: completion_pty.py SOURCE-DIR
Each case types a line and a Tab; the programs are stood in for by shell
functions that print their arguments, so Enter shows what the completion
made of the line. Exit status 0 all passed, 1 a case failed, 77 skipped
(no bash-completion, outside CI).
"""

import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"


def main():
    src = sys.argv[1]
    if not os.path.exists(BASH_COMPLETION):
        print("no bash-completion (scripts/setup.sh installs it)")
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    work = tempfile.mkdtemp(prefix="xtl-completion-", dir=os.environ.get("XTL_TEST_TMPDIR"))
    loops = []
    try:
        sys.exit(run(src, work, loops))
    finally:
        for dev in loops:
            subprocess.run(["losetup", "-d", dev], check=False)
        shutil.rmtree(work, ignore_errors=True)


class Shell:
    def __init__(self, cwd):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TERM": "dumb",
                   "HOME": cwd, "INPUTRC": "/dev/null", "PS1": "$ "}
            os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"], env)
        # A wide terminal, so that a list of candidates stays on one line.
        import fcntl
        import struct
        import termios
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 400, 0, 0))
        self.seq = 0

    def read_until(self, marker, timeout=20.0):
        out = b""
        end = time.monotonic() + timeout
        while marker not in out:
            left = end - time.monotonic()
            if left <= 0:
                raise TimeoutError(out.decode(errors="replace"))
            r, _, _ = select.select([self.fd], [], [], left)
            if r:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    break
                out += chunk
        return out.decode(errors="replace")

    def run(self, command):
        """Runs a command line; returns its output."""
        self.seq += 1
        mark = f"@@{self.seq}@@"
        os.write(self.fd, f"{command}; echo {mark[:2]}''{mark[2:]}\n".encode())
        return self.read_until(f"\r\n{mark}".encode())

    def typed(self, keys):
        """Types keys ending in Tab(s), then Enter; returns the arguments the
        stand-in program printed."""
        self.seq += 1
        mark = f"@@{self.seq}@@"
        os.write(self.fd, keys.encode())
        time.sleep(0.3)
        os.write(self.fd, f"; echo {mark[:2]}''{mark[2:]}\n".encode())
        out = self.read_until(f"\r\n{mark}".encode())
        args = re.findall(r"^ARGS(.*?)\r?$", out, re.M)
        return args[-1] if args else None

    def listed(self, keys):
        """Types keys and two Tabs; returns the words readline listed."""
        self.seq += 1
        mark = f"@@{self.seq}@@"
        os.write(self.fd, (keys + "\t\t").encode())
        time.sleep(0.5)
        os.write(self.fd, f"\x15echo {mark[:2]}''{mark[2:]}\n".encode())
        out = self.read_until(f"\r\n{mark}".encode())
        out = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", out)
        return set(out.split())


def run(src, work, loops):
    os.mkdir(os.path.join(work, "tmp dir"))
    open(os.path.join(work, "sp ace.img"), "w").close()
    open(os.path.join(work, "run.json"), "w").close()
    sh = Shell(work)
    sh.run("bind 'set bell-style none'; bind 'set completion-query-items 0'; "
           "bind 'set page-completions off'; bind 'set print-completions-horizontally on'")
    sh.run(f"source {BASH_COMPLETION}")
    for prog in ("xtl-maint", "vexbench"):
        sh.run(f"source '{src}/completion/{prog}'")
        # The stand-in: prints its arguments, each in brackets.
        sh.run(f"{prog}() {{ printf ARGS; printf '[%s]' \"$@\"; echo; }}")

    fails = 0

    def want(keys, expected):
        nonlocal fails
        got = sh.typed(keys)
        if got != expected:
            print(f"FAIL: {keys!r}: got {got!r}, want {expected!r}")
            fails += 1

    # Paths with blanks, quoted by the completion.
    want("xtl-maint status sp\t", "[status][sp ace.img]")
    want("xtl-maint log scan --tmpdir=tm\t", "[log][scan][--tmpdir=tmp dir/]")
    want("vexbench -r sp\t", "[-r][sp ace.img]")
    # Commands and log sub-commands.
    want("xtl-maint st\tx", "[status][x]")
    want("xtl-maint log cl\tx", "[log][clear][x]")
    # Only the options of the command on the line.
    want("xtl-maint status a --h\t1", "[status][a][--hdroff=1]")  # --json beside it now
    want("xtl-maint image a b --l\t", "[image][a][b][--log=]")
    want("xtl-maint check a --j\t", "[check][a][--json]")
    want("xtl-maint log clear --f\t", "[log][clear][--force]")  # --undo= beside it
    want("xtl-maint log clear --u\t", "[log][clear][--undo=]")
    want("xtl-maint log post a --f\t", "[log][post][a][--force]")
    want("xtl-maint format a --fo\t", "[format][a][--force]")
    want("xtl-maint status a --f\t", "[status][a][--f]")
    want("xtl-maint format a b\t", "[format][a][b]")
    # vexbench: values of --test= and --coll=, files of --json=, --qd=.
    want("vexbench --test=1000\t", "[--test=100000]")
    want("vexbench --coll=2\t", "[--coll=2]")
    want("vexbench --json=ru\t", "[--json=run.json]")
    want("vexbench --q\t4", "[--qd=4]")
    want("vexbench --la\t", "[--lat]")
    want("vexbench --test=4 --la\t", "[--test=4][--la]")

    def want_list(keys, present, absent):
        nonlocal fails
        got = sh.listed(keys)
        missing = [w for w in present if w not in got]
        extra = [w for w in absent if w in got]
        if missing or extra:
            print(f"FAIL: {keys!r} lists {sorted(got)}: missing {missing}, unwanted {extra}")
            fails += 1

    want_list("xtl-maint ", ["format", "status", "dump", "check", "log", "dev-rd", "dev-wt"],
              ["convert", "--help"])
    want_list("xtl-maint --", ["--help", "--version"], ["--wtblksz=", "--json"])
    want_list("xtl-maint check a --", ["--json", "--hdroff="], ["--wtblksz=", "--force"])
    want_list("xtl-maint log disp --", ["--json", "--tmpdir="], ["--force"])
    want_list("vexbench --test=", ["0", "1", "6", "10", "12", "100000"], [])

    # Block devices: an attached loop device is listed, a detached one is not.
    if os.geteuid() == 0 and shutil.which("losetup"):
        back = os.path.join(work, "loop back")
        with open(back, "wb") as f:
            f.truncate(1 << 20)
        dev = subprocess.run(["losetup", "--find", "--show", back], capture_output=True,
                             text=True, check=False).stdout.strip()
        if dev:
            loops.append(dev)
        free = subprocess.run(["losetup", "--find"], capture_output=True, text=True,
                              check=False).stdout.strip()
        # A free loop device has a node only when one was made before.
        free = free if free and os.path.exists(free) else "(none)"
        if not dev:
            print("FAIL: no loop device attached")
            fails += 1
        else:
            got = sh.listed("xtl-maint status /dev/loop")
            # Listed by name, or put on the line whole when it is the only one.
            names = {os.path.basename(p) for p in got}
            if os.path.basename(dev) not in names or os.path.basename(free) in names:
                print(f"FAIL: /dev/loop lists {sorted(got)}: want {dev}, not {free}")
                fails += 1
    elif os.environ.get("CI") == "true":
        print("FAIL: the block-device case needs root and losetup under CI")
        fails += 1
    else:
        print("block-device case skipped: not root")

    os.write(sh.fd, b"exit\n")
    os.waitpid(sh.pid, 0)
    if fails:
        print(f"{fails} completion case(s) failed")
        return 1
    print("completion on a pseudo-terminal: every case as expected")
    return 0


if __name__ == "__main__":
    main()

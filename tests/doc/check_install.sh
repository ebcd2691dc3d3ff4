#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `cmake --install` into a scratch prefix yields exactly the documented tree,
# and the installed programs run.
#   check_install.sh BUILD-DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
got=$(cd "$prefix" && find . -type f | sort)
want=$(sort <<'LIST'
./sbin/xtl-maint
./sbin/vexbench
./sbin/vexbench-fleet
./sbin/vexbench-pts
./share/man/man8/xtl-maint.8.gz
./share/man/man8/vexbench.8.gz
./share/man/man8/vexbench-fleet.8.gz
./share/man/man8/vexbench-pts.8.gz
./share/bash-completion/completions/xtl-maint
./share/bash-completion/completions/vexbench
./share/doc/xtl-tools/README.md
./share/doc/xtl-tools/copyright
./share/doc/xtl-tools/changelog.gz
./bin/vexbench-plot
./share/man/man1/vexbench-plot.1.gz
./share/doc/xtl-tools/notes/bench-json.md
./share/doc/xtl-tools/notes/bench.md
./share/doc/xtl-tools/notes/check.md
./share/doc/xtl-tools/notes/fleet.md
./share/doc/xtl-tools/notes/image.md
./share/doc/xtl-tools/notes/json.md
./share/doc/xtl-tools/notes/undo.md
./share/doc/xtl-tools/docs/vexbench-iops.png
./share/doc/xtl-tools/docs/vexbench-latency.png
LIST
)
if [[ $got != "$want" ]]; then
  echo "FAIL: installed files differ from the documented tree"
  diff <(echo "$want") <(echo "$got") || true
  exit 1
fi
for prog in xtl-maint vexbench; do
  "$prefix/sbin/$prog" --version | grep -qx "$prog [0-9]*\.[0-9]*\.[0-9]*" ||
    { echo "FAIL: installed $prog --version"; exit 1; }
  warn=$(zcat "$prefix/share/man/man8/$prog.8.gz" | groff -man -ww -z 2>&1)
  [[ -z $warn ]] || { echo "FAIL: installed $prog.8.gz: $warn"; exit 1; }
done
echo "install tree under a scratch prefix: $(wc -l <<<"$got") files as documented"

#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build, the demo and the tests need, when
# missing, and any further packages named on the command line (the fuzz and
# CI paths add theirs: scripts/setup-fuzz.sh, .ci/run).
#   groff-base   renders the manual pages in the doc test
#   dpkg-dev, file   dpkg-shlibdeps for the package test (cpack -G DEB)
#   libblkid-dev   signatures of file systems and partition tables (format, log)
#   e2fsprogs    mkfs.ext4 makes the file-system image of the wrong-device tests
#                (util-linux gives mkswap; fdisk gives sfdisk, for the
#                partition-table image)
#   jq           reads back the JSON report of xtl-maint check in its test, and runs the
#                fio-shape line of notes/bench-json.md on the sample results
#   liburing-dev   io_uring for vexbench --qd= (its static archive is linked in)
#   python3, gnuplot-nox   scripts/vexbench-plot and its test
#   bash-completion        the completion test (an interactive bash on a pty)
#   pdsh         runs vexbench-fleet's test (its exec module stands in for the hosts)
#   strace       fails io_uring's set-up in the check test (the one-at-a-time fallback)
#   libfuse3-dev, fuse3, fio   the slow device of the benchmarks (tests/tools/slowfs.cpp,
#                scripts/slowdev.sh) and its test; fio measures it
set -euo pipefail
need=(cmake make g++ pkg-config libgtest-dev libblkid-dev liburing-dev util-linux fdisk e2fsprogs groff-base dpkg-dev file jq
      python3 gnuplot-nox bash-completion pdsh strace libfuse3-dev fuse3 fio "$@")
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi

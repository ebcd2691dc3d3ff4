#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `cpack -G DEB` makes xtl-tools_VERSION_ARCH.deb with the documented fields,
# the install tree under /usr, the dependencies dpkg-shlibdeps finds (libc6,
# libblkid1) and python3, and every path its pages and README name.
#   check_package.sh BUILD-DIR
set -euo pipefail
build=$1
for tool in dpkg-deb dpkg-shlibdeps file; do
  if ! command -v "$tool" >/dev/null; then
    echo "no $tool (packages dpkg-dev and file; scripts/setup.sh installs them)"
    [[ ${CI:-} == true ]] && exit 1
    exit 77
  fi
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; exit 1; }
debs=("$out"/*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || { echo "FAIL: no single .deb in $out"; ls "$out"; exit 1; }
deb=${debs[0]}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[[ $(basename "$deb") == "xtl-tools_${version}_${arch}.deb" ]] || { echo "FAIL: file name $(basename "$deb")"; exit 1; }
fails=0
field() {  # field NAME REGEX
  local v
  v=$(dpkg-deb -f "$deb" "$1")
  [[ $v =~ ^$2$ ]] || { echo "FAIL: $1 is '$v'"; fails=$((fails + 1)); }
}
field Package xtl-tools
field Version "$version"
field Architecture "$arch"
field Section admin
field Maintainer '.+ <.+@.+>'
field Description '.+'
field Depends 'python3:any, libblkid1 \(>= [0-9.]+\), libc6 \(>= [0-9.]+\)'
field Suggests 'gnuplot-nox, pdsh'
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)
want=$(sort <<'LIST'
./usr/sbin/xtl-maint
./usr/sbin/vexbench
./usr/sbin/vexbench-fleet
./usr/sbin/vexbench-pts
./usr/share/man/man8/xtl-maint.8.gz
./usr/share/man/man8/vexbench.8.gz
./usr/share/man/man8/vexbench-fleet.8.gz
./usr/share/man/man8/vexbench-pts.8.gz
./usr/share/bash-completion/completions/xtl-maint
./usr/share/bash-completion/completions/vexbench
./usr/share/doc/xtl-tools/README.md
./usr/share/doc/xtl-tools/copyright
./usr/share/doc/xtl-tools/changelog.gz
./usr/bin/vexbench-plot
./usr/share/man/man1/vexbench-plot.1.gz
./usr/share/doc/xtl-tools/notes/bench-json.md
./usr/share/doc/xtl-tools/notes/bench.md
./usr/share/doc/xtl-tools/notes/check.md
./usr/share/doc/xtl-tools/notes/fleet.md
./usr/share/doc/xtl-tools/notes/image.md
./usr/share/doc/xtl-tools/notes/json.md
./usr/share/doc/xtl-tools/notes/undo.md
./usr/share/doc/xtl-tools/docs/vexbench-iops.png
./usr/share/doc/xtl-tools/docs/vexbench-latency.png
LIST
)
if [[ $got != "$want" ]]; then
  echo "FAIL: package files differ from the documented tree"
  diff <(echo "$want") <(echo "$got") || true
  fails=$((fails + 1))
fi
# Every installed path the pages name, and every file the README links
# (relative to where it is installed), is in the package.
dpkg-deb -x "$deb" "$out/root"
if readelf -d "$out"/root/usr/sbin/* | grep -q 'NEEDED.*\[libblkid\.so\.1\]'; then
  field Depends '.*libblkid1 \(>= [0-9.]+\).*'
fi
doc=$out/root/usr/share/doc/xtl-tools
named=$(for p in "$out"/root/usr/share/man/man*/*.gz; do zcat "$p"; done |
  grep -oE '/usr/[A-Za-z0-9_./\\-]+' | sed 's/\\-/-/g; s/[.]$//' | sort -u)
for p in $named; do
  [[ -e $out/root$p ]] || { echo "FAIL: a manual page names $p, which is not installed"; fails=$((fails + 1)); }
done
for p in $(grep -oE '\]\([^)#]+' "$doc/README.md" | cut -c3- | sort -u); do
  [[ -e $doc/$p ]] || { echo "FAIL: README links $p, which is not installed"; fails=$((fails + 1)); }
done
((fails == 0)) || exit 1
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends), $(wc -l <<<"$got") files"

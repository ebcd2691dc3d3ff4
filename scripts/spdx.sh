#!/usr/bin/env bash
# Puts the licence identifier "SPDX-License-Identifier: Apache-2.0" at the top
# of every source file of the tree that does not have one yet: C++ sources
# and headers, shell and Python scripts (after the #! line), CMake files,
# manual pages and completion scripts. Files are taken from git, so build
# trees and scratch files are left alone. Running it twice changes nothing.
#   scripts/spdx.sh [--check]     --check: list the files without one, status 1 if any
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tag="SPDX-License-Identifier: Apache-2.0"
check=false
[[ ${1:-} == --check ]] && check=true

missing=0
while IFS= read -r -d '' f; do
  case $f in
    *.cpp | *.h) line="// $tag" ;;
    *.sh | *.py | *.cmake | */CMakeLists.txt | CMakeLists.txt | .ci/run | scripts/vexbench-plot | scripts/vexbench-fleet | scripts/vexbench-pts | completion/*)
      line="# $tag" ;;
    man/*.[0-9]) line=".\\\" $tag" ;;
    *) continue ;;
  esac
  grep -qF "$tag" "$f" && continue
  missing=$((missing + 1))
  if $check; then
    echo "$f"
    continue
  fi
  tmp=$(mktemp)
  if [[ $(head -c2 "$f") == '#!' ]]; then
    { head -n1 "$f"; printf '%s\n' "$line"; tail -n +2 "$f"; } >"$tmp"
  else
    { printf '%s\n' "$line"; cat "$f"; } >"$tmp"
  fi
  cat "$tmp" >"$f"  # keeps the file's mode
  rm -f "$tmp"
done < <(git ls-files -z)
if $check; then
  ((missing == 0)) || exit 1
else
  echo "$missing file(s) given the identifier"
fi

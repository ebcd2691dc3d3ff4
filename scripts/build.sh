#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds one tree: scripts/build.sh [dir] [cmake options...]
# Warnings are errors here (our own builds); a later -DXTL_WERROR=OFF wins.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXTL_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"

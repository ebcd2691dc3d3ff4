#!/usr/bin/env bash
# Installs what is missing, builds, and shows xtl-maint at work on a sparse
# image file in a temporary directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
maint=$root/build/maint/xtl-maint
work=$(mktemp -d /var/tmp/xtl-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
img=$work/xtl.img
truncate -s 1T "$img"
run() { echo "\$ xtl-maint $*"; "$maint" "$@"; echo "(exit status $?)"; echo; }
run format "$img" --wtblksz=1024 -q
run status "$img"
run dump "$img" 0
echo "image: sparse 1 TiB, $(du -k "$img" | cut -f1) KiB on disk"

#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Records what `format` does over a broad set of option combinations and image
# sizes, so that two builds can be compared byte for byte:
#   scripts/format_snapshot.sh BINARY OUTDIR
#   diff -r OUTDIR-before OUTDIR-after
# Per case: stdout and stderr (the image path shown as IMG), exit status, and every data extent of the image
# (offset, length, SHA-256). The run happens in a private mount namespace in
# which /dev/urandom is a file of 32 fixed bytes, so the header signatures and
# checksums repeat from run to run. Needs root (unshare, mount).
set -euo pipefail
bin=$(realpath "$1")
out=$(realpath -m "$2")
if [ "${FMT_SNAPSHOT_INNER:-}" != 1 ]; then
  mkdir -p "$out"
  scratch=$(mktemp -d /var/tmp/xtl-fmtsnap-XXXX)
  trap 'rm -rf "$scratch"' EXIT
  printf '%s' "0123456789abcdefghijklmnopqrstuv" >"$scratch/rand"
  FMT_SNAPSHOT_INNER=1 FMT_SNAPSHOT_DIR=$scratch unshare -m "$0" "$bin" "$out"
  exit
fi
scratch=$FMT_SNAPSHOT_DIR
mount --bind "$scratch/rand" /dev/urandom
img=$scratch/dev.img

opts=(
  "" "-q" "--wtblksz=256" "--wtblksz=4" "--wtblksz=5" "--wtblksz=4194304" "--wtblksz=4096 -q"
  "--wtblkstripe=3" "--wtblkstripe=0" "--wtblkstripe=5 --wtblksz=256" "--wtsegsz=10"
  "--devsz=1024" "--devsz=17592186044416" "--devsz=1" "--free=5" "--free=10" "--free=50"
  "--free=95" "--free=99" "--offset0=4097" "--offset0=1099511627776" "--offset0=8192 --wtblksz=4"
  "--vm=1" "--vm2" "--vm2 --vm2comp --comp=200" "--vm2 --wtblkstripe=2" "--dedupe=200"
  "--comp=200" "--comp=1000" "--comp=50 --free=80" "--compbytes=128 --compmax=8 --comp=100"
  "--metadupecnt=3" "--ecc" "--ecc5" "--ecc6" "--ecc --ecc6 --eccstripe=8 --eccwidths=64"
  "--eccstripe=8 --eccwidths=64" "--hashtp=3" "--hash" "--summarymeta"
  "--migrate" "--migrate --m_linoff0=1000 --m_linoff1=2000 --m_linblks=300"
  "--svwbcnt=5 --svwccnt=7" "--hdroff=8" "--hdroff=3" "--ver=11" "--ver=11 --free=5"
  "--ver=11 --offset0=1099511627776" "--ver=11 --wtblksz=4" "--ver=769" "--ver=0"
  "--autovm" "--autovm --dedupe=200" "--autovm --dedupe=200 --comp=200 --wtblksz=1024 --free=90 -q"
  "--autovm --dedupe=200 --comp=200 --wtblksz=1024 --free=90"
  "--autovm --dedupe=150 --comp=300 -q" "--autovm --dedupe=200 --comp=200 --free=5 -q"
  "--autovm --dedupe=200 --comp=200 --wtblksz=4 -q" "--autovm --dedupe=100 --comp=100 --wtblksz=4 -q"
  "--autovm --dedupe=200 --comp=200 --wtblkstripe=64 -q"
  "--autovm --dedupe=200 --comp=200 --offset0=4096 --compbytes=32 --compmax=2 --migrate -q"
  "--autovm --dedupe=200 --comp=200 --devsz=2097152 -q"
  "--autovm --dedupe=200 --comp=200 --ecc6 --summarymeta --hashtp=2 --vm=1 --hash -q"
  "--autovm --dedupe=4000000000 --comp=4000000000 -q"
)
sizes=(2M 64M 1G 1T)

extents() {  # offset, length and SHA-256 of every data extent of the image
  python3 - "$1" <<'EOF'
import hashlib, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
end = os.fstat(fd).st_size
pos = 0
while pos < end:
    try:
        start = os.lseek(fd, pos, os.SEEK_DATA)
    except OSError:
        break
    stop = os.lseek(fd, start, os.SEEK_HOLE)
    data = os.pread(fd, stop - start, start)
    print(start, stop - start, hashlib.sha256(data).hexdigest())
    pos = stop
print("size", end)
EOF
}

n=0
for size in "${sizes[@]}"; do
  for o in "${opts[@]}" "twice:"; do
    n=$((n + 1))
    d=$out/$(printf '%03d' $n)
    mkdir -p "$d"
    rm -f "$img"
    truncate -s "$size" "$img"
    words=$o
    if [ "$o" = "twice:" ]; then  # a format over an image that holds a header
      "$bin" format "$img" -q </dev/null >/dev/null 2>&1 || true
      words="-q"
    fi
    echo "$size format IMG $words" >"$d/case"
    # shellcheck disable=SC2086
    set +e
    "$bin" format "$img" $words </dev/null >"$d/stdout" 2>"$d/stderr"
    echo $? >"$d/status"
    set -e
    sed -i "s|$img|IMG|g" "$d/stdout" "$d/stderr"  # the scratch folder differs per run
    extents "$img" >"$d/image"
  done
done
rm -f "$img"
echo "$n cases in $out"

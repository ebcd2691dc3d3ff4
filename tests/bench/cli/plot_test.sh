#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs scripts/vexbench-plot on the sample results (alone and beside a copy)
# and checks that every chart is a whole PNG and a well-formed SVG, and that
# a file that is not a results document, or a host without gnuplot, gets
# status 1 and one message.
# Usage: plot_test.sh SCRIPT SAMPLE.json
set -uo pipefail
script=$1 sample=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$script" -o "$tmp/one" -t "sample 'run' \"1\"" "$sample" >"$tmp/out" 2>"$tmp/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$tmp/err"; echo "FAIL: status $rc"; exit 1; }

cp "$sample" "$tmp/other-run.json"
"$script" --out "$tmp/two" "$sample" "$tmp/other-run.json" >>"$tmp/out" 2>"$tmp/err" ||
  { cat "$tmp/err"; echo "FAIL: two files"; exit 1; }

python3 - "$tmp" <<'PY' || exit 1
import os, sys, xml.etree.ElementTree as ET
tmp = sys.argv[1]
listed = open(os.path.join(tmp, "out")).read().split()
bad = 0
for d in ("one", "two"):
    for chart in ("iops", "bandwidth", "latency"):
        png = os.path.join(tmp, d, chart + ".png")
        svg = os.path.join(tmp, d, chart + ".svg")
        for f in (png, svg):
            if f not in listed:
                print("FAIL: not listed:", f); bad = 1
        data = open(png, "rb").read()
        if not (data.startswith(b"\x89PNG\r\n\x1a\n") and data.endswith(b"IEND\xaeB`\x82")
                and len(data) > 5000):
            print("FAIL: not a whole PNG:", png); bad = 1
        try:
            root = ET.parse(svg).getroot()
            paths = sum(1 for e in root.iter() if e.tag.endswith("path"))
            if not root.tag.endswith("svg") or paths < 20:
                print("FAIL: SVG without drawing:", svg); bad = 1
        except ET.ParseError as e:
            print("FAIL:", svg, e); bad = 1
# The second run labels its lines by file name (both files name one device).
if "other-run" not in open(os.path.join(tmp, "two", "iops.svg")).read():
    print("FAIL: lines of the second file not labelled by its name"); bad = 1
sys.exit(bad)
PY

# The per-second series of two cells, and latency against IOPS over the two
# files (each cell a point per file).
"$script" -o "$tmp/extra" --series --cell='read:4096:*' --cell='write:65536:10' --latency-vs-iops \
  "$sample" "$tmp/other-run.json" >"$tmp/out" 2>"$tmp/err" || { cat "$tmp/err"; echo "FAIL: extra charts"; exit 1; }
for chart in series latency-iops; do
  grep -qx "$tmp/extra/$chart.png" "$tmp/out" && head -c 8 "$tmp/extra/$chart.png" | grep -q PNG ||
    { echo "FAIL: no $chart chart"; exit 1; }
done
n=$(grep -o "read 4K x[0-9]*\|write 64K x10" "$tmp/extra/series.svg" | sort -u | wc -l)
[ "$n" = 3 ] || { echo "FAIL: series chart has $n of the 3 cells picked"; exit 1; }
"$script" -o "$tmp/none" --latency-vs-iops "$sample" 2>"$tmp/err"
[ $? = 1 ] && grep -q "no cell with latency in two files" "$tmp/err" ||
  { echo "FAIL: latency against IOPS from one file: $(cat "$tmp/err")"; exit 1; }

echo '{"program": "fio"}' >"$tmp/fio.json"
"$script" -o "$tmp/bad" "$tmp/fio.json" 2>"$tmp/err"
rc=$?
[ "$rc" -eq 1 ] && grep -q "not a vexbench results file" "$tmp/err" ||
  { echo "FAIL: foreign file gave status $rc: $(cat "$tmp/err")"; exit 1; }
# Without gnuplot on the PATH it says what is missing and installs nothing.
mkdir "$tmp/bin"
ln -s "$(python3 -c 'import sys; print(sys.executable)')" "$tmp/bin/python3"
PATH=$tmp/bin "$script" -o "$tmp/none" "$sample" 2>"$tmp/err"
rc=$?
[ "$rc" -eq 1 ] && [ "$(cat "$tmp/err")" = "vexbench-plot: gnuplot is missing (apt-get install gnuplot-nox)" ] ||
  { echo "FAIL: without gnuplot: status $rc: $(cat "$tmp/err")"; exit 1; }
echo "plot: ok"

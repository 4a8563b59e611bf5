#!/bin/bash
# Read time of a 65,536-row by 20-column .xls: our reader against
# python3-xlrd on the same file, and peak memory of each.
#   run_bench.sh BENCH_BINARY [WORKDIR] [EARLIER_BENCH_BINARY]
# With an earlier build's bench_xls_read, its figure into the shared grid is
# measured in the same run, for a before/after comparison.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$1
work=${2:-$(dirname "$bin")}
earlier=${3:-}
xls=$work/bench_65536x20.xls
if [ ! -f "$xls" ]; then
  echo "writing $xls with python3-xlwt ..."
  /usr/bin/python3 "$here/make_big_xls.py" "$xls"
fi
ls -l "$xls"
ours=$("$bin" "$xls" grid 5)
own=$("$bin" "$xls" yexcel 5)
mem=$("$bin" "$xls" memory 5)
theirs=$(/usr/bin/python3 "$here/xlrd_read.py" "$xls" 3)
before=""
if [ -n "$earlier" ]; then
  before=$("$earlier" "$xls" grid 5 | sed 's/^corvane-grid/earlier-build-grid/')
fi
echo "$ours"
echo "$own"
echo "$mem"
echo "$theirs"
[ -z "$before" ] || echo "$before"
ms() { sed -n 's/.*best_ms=\([0-9.]*\).*/\1/p' <<<"$1"; }
awk -v a="$(ms "$theirs")" -v b="$(ms "$ours")" -v c="$(ms "$own")" -v d="$(ms "$mem")" \
  'BEGIN { printf "speed-up over xlrd: %.1fx file to shared grid, %.1fx file to reader grid, %.1fx memory to shared grid\n", a / b, a / c, a / d }'
if [ -n "$before" ]; then
  awk -v a="$(ms "$theirs")" -v e="$(ms "$before")" 'BEGIN { printf "earlier build: %.1fx file to shared grid\n", a / e }'
fi

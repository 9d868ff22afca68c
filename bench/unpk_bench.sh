#!/usr/bin/env bash
# UNPK beside `unzip -qq` on archives of many empty entries (a thousand to a
# folder): wall and processor seconds and peak memory of each, and the
# ratio of UNPK's wall time to unzip's. UNPK's work per entry does not grow
# with the entries before it, so the ratio stays flat as the archive grows.
#
#   bench/unpk_bench.sh [build folder, default build] [entry counts, default "10000 100000 200000"]
#
# The build folder must hold bin/unpk_driver (configure with
# -DQELM_BUILD_BENCH=ON). Each size runs once, in a temporary folder under
# $TMPDIR (default /tmp) removed at the end. Not a test.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
counts=${2:-"10000 100000 200000"}
driver=$build/bin/unpk_driver
work=$(mktemp -d "${TMPDIR:-/tmp}/unpk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# measure <label> <command...>: runs the command under /usr/bin/time into
# secs, cpu (user + system) and mib (its peak).
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@"
  read -r secs user sys kib < "$work/time"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  mib=$((kib / 1024))
}

printf "%-8s %9s %9s %9s %9s %9s %9s %7s\n" entries "unpk s" "unpk cpu" "unpk MiB" "unzip s" "unzip cpu" "unzip MiB" ratio
for count in $counts; do
  python3 - "$work/a.zip" "$count" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for i in range(int(sys.argv[2])):
        z.writestr("d%04d/f%07d.txt" % (i // 1000, i), b"")
EOF
  mkdir "$work/unzip"
  measure unzip -qq "$work/a.zip" -d "$work/unzip"
  zsecs=$secs zcpu=$cpu zmib=$mib
  got=$(find "$work/unzip" -type f | wc -l)
  [ "$got" -eq "$count" ] || { echo "unzip gave $got files of $count" >&2; exit 1; }
  rm -rf "$work/unzip"

  measure "$driver" "$work/a.zip" "$work/unpk"
  got=$(find "$work/unpk/out" -type f | wc -l)
  [ "$got" -eq "$count" ] || { echo "UNPK gave $got files of $count" >&2; exit 1; }
  rm -rf "$work/unpk"
  ratio=$(awk -v a="$secs" -v b="$zsecs" 'BEGIN { printf "%.2f", a / b }')
  printf "%-8s %9s %9s %9s %9s %9s %9s %7s\n" "$count" "$secs" "$cpu" "$mib" "$zsecs" "$zcpu" "$zmib" "$ratio"
done

#!/usr/bin/env bash
# UNPK beside `unzip -qq` on archives of many empty entries (a thousand to a
# folder): wall and processor seconds and peak memory of each, and the
# ratios of UNPK's wall and processor times to unzip's. UNPK's work per entry does not grow
# with the entries before it, so the ratio stays flat as the archive grows.
#
#   bench/unpk_bench.sh [build folder, default build] [entry counts, default "10000 100000 200000"] [rounds, default 3]
#
# The build folder must hold bin/unpk_driver (configure with
# -DQELM_BUILD_BENCH=ON). Each size runs `rounds` times, unzip and UNPK one
# right after the other on the same archive (unzip first in odd rounds, UNPK
# first in even ones), so that a load that comes and goes on a shared machine
# hits both alike; each round's ratios are printed, then their medians over
# the rounds. The load average is printed before and after. Everything runs in a
# temporary folder under $TMPDIR (default /tmp), removed at the end. Not a
# test.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
counts=${2:-"10000 100000 200000"}
rounds=${3:-3}
driver=$build/bin/unpk_driver
work=$(mktemp -d "${TMPDIR:-/tmp}/unpk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# measure <command...>: runs the command under /usr/bin/time into secs, cpu
# (user + system) and mib (its peak).
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@"
  read -r secs user sys kib < "$work/time"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  mib=$((kib / 1024))
}

run_unzip() {
  mkdir "$work/unzip"
  measure unzip -qq "$work/a.zip" -d "$work/unzip"
  zsecs=$secs zcpu=$cpu zmib=$mib
  local got
  got=$(find "$work/unzip" -type f | wc -l)
  [ "$got" -eq "$count" ] || { echo "unzip gave $got files of $count" >&2; exit 1; }
  rm -rf "$work/unzip"
}

run_unpk() {
  # The driver moves the archive into its input folder: it gets a copy.
  cp "$work/a.zip" "$work/b.zip"
  measure "$driver" "$work/b.zip" "$work/unpk"
  usecs=$secs ucpu=$cpu umib=$mib
  local got
  got=$(find "$work/unpk/out" -type f | wc -l)
  [ "$got" -eq "$count" ] || { echo "UNPK gave $got files of $count" >&2; exit 1; }
  rm -rf "$work/unpk"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# median <values...>
median() {
  printf "%s\n" "$@" | sort -n | awk '{ r[NR] = $1 } END { printf "%.2f", (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }'
}

printf "%-8s %5s %9s %9s %9s %9s %9s %9s %7s %9s\n" entries round "unpk s" "unpk cpu" "unpk MiB" "unzip s" "unzip cpu" "unzip MiB" ratio "cpu ratio"
for count in $counts; do
  python3 - "$work/a.zip" "$count" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for i in range(int(sys.argv[2])):
        z.writestr("d%04d/f%07d.txt" % (i // 1000, i), b"")
EOF
  ratios=()
  cpuRatios=()
  for ((round = 1; round <= rounds; ++round)); do
    if ((round % 2 == 1)); then
      run_unzip
      run_unpk
    else
      run_unpk
      run_unzip
    fi
    ratio=$(awk -v a="$usecs" -v b="$zsecs" 'BEGIN { printf "%.2f", a / b }')
    cpuRatio=$(awk -v a="$ucpu" -v b="$zcpu" 'BEGIN { printf "%.2f", a / b }')
    ratios+=("$ratio")
    cpuRatios+=("$cpuRatio")
    printf "%-8s %5s %9s %9s %9s %9s %9s %9s %7s %9s\n" "$count" "$round" "$usecs" "$ucpu" "$umib" "$zsecs" "$zcpu" "$zmib" "$ratio" "$cpuRatio"
  done
  echo "$count entries: median ratio $(median "${ratios[@]}"), median cpu ratio $(median "${cpuRatios[@]}")"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

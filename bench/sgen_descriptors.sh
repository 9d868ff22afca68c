#!/usr/bin/env bash
# SGEN on many small files on a quiet machine, then beside another process
# that holds thousands of open descriptors (a database, say): the service's
# checks that nobody else holds a claimed file answer from the file itself,
# so the neighbour's descriptors cost nothing. Prints the service's wall and
# processor seconds for each run and the ratio of the busy run to the quiet
# one (processor time).
#
#   bench/sgen_descriptors.sh [build folder, default build] [files, default 500]
#                             [size in bytes, default 1024] [descriptors, default 20000]
#                             [pairs, default 1] [calls]
#
# With several pairs the quiet and busy runs alternate (quiet, busy, busy,
# quiet, quiet, ...), so that a change in the machine's own load meets both
# cases alike; each pair's ratio is printed, then their median. With "calls" the
# instance runs under strace, which counts its system calls (and slows it:
# the seconds then say little), to show what the neighbour's descriptors add.
#
# The build folder must hold bin/mirelservice, bin/reg and bin/make_test_pki.
# The neighbour holds as many descriptors as the open-file limit allows, up
# to the number asked. Everything lives in a temporary folder, removed at the
# end. Not a test.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
files=${2:-500}
size=${3:-1024}
descriptors=${4:-20000}
pairs=${5:-1}
count=${6:-}
bin=$build/bin
# shellcheck source=bench/signing_service.sh
. "$(dirname "$0")/signing_service.sh"
setup_signing_service Descriptors

# SGEN for the second user, block form, no time stamp.
key="$profile\\rules\\Rule 1"
signing_reg add "$key" /v Operation /t REG_SZ /d SGEN /f
signing_reg add "$key" /v "Ext num" /t REG_DWORD /d 1 /f
signing_reg add "$key" /v C0 /t REG_SZ /d "$(sed -n 's/^user2=//p' "$work/pki.holders")" /f

mkdir -p "$work/source"
head -c $((files * size)) /dev/urandom | split -b "$size" -a 6 - "$work/source/f"


# service_run: moves the files of $work/source into the input folder (each
# by a rename, so none is seen half written), starts the instance and waits
# for their outputs; when the calls are counted, the files are moved in once
# strace is attached to the instance. Sets secs (wall, from the start), cpu (the
# instance's processor seconds, read from /proc before it is stopped) and,
# when the calls are counted, calls and stats (the instance's system calls
# in all, and those that describe a file by name or descriptor).
service_run() {
  rm -rf "$work/in" "$work/out" "$work/stage"
  mkdir -p "$work/in" "$work/out" "$work/stage"
  cp "$work/source/"* "$work/stage/"
  local start pid ticks tracer
  [ "$count" = calls ] || mv "$work/stage/"* "$work/in/"
  start=$(now)
  "$bin/mirelservice" start Descriptors > /dev/null
  pid=$(instance_pid)
  if [ "$count" = calls ]; then
    strace -f -c -p "$pid" -o "$work/calls" 2> /dev/null &
    tracer=$!
    until awk '/^TracerPid:/ { exit $2 == 0 }' "/proc/$pid/status"; do sleep 0.05; done
    mv "$work/stage/"* "$work/in/"
  fi
  wait_for_outputs .p7e "$files"
  secs=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
  ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  cpu=$(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }')
  if [ "$count" = calls ]; then
    kill -INT "$tracer"
    wait "$tracer" || [ $? -eq 130 ]  # its counts written, it ends as interrupted
    calls=$(awk '$NF == "total" { print $4 }' "$work/calls")
    stats=$(awk '$NF ~ /^(newfstatat|fstat|stat|lstat|statx)$/ { n += $4 } END { print n + 0 }' "$work/calls")
  fi
  "$bin/mirelservice" stop Descriptors > /dev/null
}

# The neighbour: opens descriptors on files of its own until it has as many
# as asked (or the limit allows), then waits to be ended. Sets neighbour and
# held.
mkdir -p "$work/neighbour"
neighbour=
start_neighbour() {
  rm -f "$work/neighbour.ready"
  python3 - "$work/neighbour" "$descriptors" > "$work/neighbour.ready" <<'EOF' &
import os, resource, sys, time
folder, wanted = sys.argv[1], int(sys.argv[2])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
wanted = min(wanted, hard - 16)
held = []
for i in range(wanted):
    held.append(os.open(os.path.join(folder, str(i % 1000)), os.O_RDWR | os.O_CREAT, 0o600))
print(len(held), flush=True)
time.sleep(3600)
EOF
  neighbour=$!
  while [ ! -s "$work/neighbour.ready" ]; do sleep 0.1; done
  held=$(cat "$work/neighbour.ready")
}
stop_neighbour() {
  kill "$neighbour"
  wait "$neighbour" 2> /dev/null || [ $? -eq 143 ]
  neighbour=
}
trap '[ -z "$neighbour" ] || kill "$neighbour" 2> /dev/null; "$bin/mirelservice" stop Descriptors > /dev/null 2>&1; "$bin/mirelservice" delete Descriptors > /dev/null 2>&1; rm -rf "$work"' EXIT

if [ "$count" = calls ]; then
  command -v strace > /dev/null || { echo "counting the calls needs strace" >&2; exit 2; }
fi
printf "%-5s %-30s %7s %7s %8s %7s %11s\n" pair case "wall s" "cpu s" calls stats "busy/quiet"
ratios=()
for ((pair = 1; pair <= pairs; pair++)); do
  # Odd pairs start quiet, even ones busy, so that neither case always runs
  # first in a pair.
  if ((pair % 2 == 0)); then
    start_neighbour
    service_run
    stop_neighbour
    busySecs=$secs busyCpu=$cpu busyCalls=${calls:-} busyStats=${stats:-}
    service_run
    quietSecs=$secs quietCpu=$cpu quietCalls=${calls:-} quietStats=${stats:-}
    secs=$busySecs cpu=$busyCpu calls=$busyCalls stats=$busyStats
  else
    service_run
    quietSecs=$secs quietCpu=$cpu quietCalls=${calls:-} quietStats=${stats:-}
    start_neighbour
    service_run
    stop_neighbour
  fi
  ratio=$(awk -v a="$cpu" -v b="$quietCpu" 'BEGIN { printf "%.2f", a / b }')
  ratios+=("$ratio")
  printf "%-5s %-30s %7s %7s %8s %7s\n" "$pair" "$files x $size bytes, quiet" "$quietSecs" "$quietCpu" \
    "${quietCalls:--}" "${quietStats:--}"
  printf "%-5s %-30s %7s %7s %8s %7s %11s\n" "$pair" "beside $held descriptors" "$secs" "$cpu" \
    "${calls:--}" "${stats:--}" "$ratio"
done
printf "busy / quiet (cpu), median of %s: %s\n" "$pairs" \
  "$(printf "%s\n" "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { printf "%.2f", NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }')"

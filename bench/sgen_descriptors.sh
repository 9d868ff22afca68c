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


# service_run: seals the files of $work/source; sets secs and cpu (the
# instance's processor seconds, read from /proc before it is stopped).
service_run() {
  fill_input
  local start pid ticks
  start=$(now)
  "$bin/mirelservice" start Descriptors > /dev/null
  wait_for_outputs .p7e "$files"
  secs=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
  pid=$(instance_pid)
  ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  cpu=$(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }')
  "$bin/mirelservice" stop Descriptors > /dev/null
}

service_run
quietSecs=$secs quietCpu=$cpu

# The neighbour: opens descriptors on files of its own until it has as many
# as asked (or the limit allows), then waits to be ended.
mkdir -p "$work/neighbour"
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
trap "kill $neighbour 2> /dev/null; \"$bin/mirelservice\" stop Descriptors > /dev/null 2>&1; \"$bin/mirelservice\" delete Descriptors > /dev/null 2>&1; rm -rf \"$work\"" EXIT
while [ ! -s "$work/neighbour.ready" ]; do sleep 0.1; done
held=$(cat "$work/neighbour.ready")

service_run
kill "$neighbour"

printf "%-34s %8s %8s\n" case "wall s" "cpu s"
printf "%-34s %8s %8s\n" "$files x $size bytes, quiet" "$quietSecs" "$quietCpu"
printf "%-34s %8s %8s\n" "beside $held descriptors" "$secs" "$cpu"
printf "busy / quiet (cpu): %s\n" "$(awk -v a="$cpu" -v b="$quietCpu" 'BEGIN { printf "%.2f", a / b }')"

#!/usr/bin/env bash
# What it costs to have every output on disk before its input is deleted:
# the service's rate on many small files, with a rule that does little work
# per file (B64E, base64 of each file) and with one that signs (SIGN, block
# form), so that the syncs (the claim record's before each claim, one pass
# over each batch's outputs before their inputs go) show against light and
# ordinary work. Run it once on a build of
# the commit before the syncs and once on this one to compare.
#
#   bench/durable_files.sh [build folder, default build] [files, default 2000]
#                          [size in KiB, default 4] [runs, default 3]
#
# The build folder must hold bin/mirelservice, bin/reg and bin/make_test_pki.
# Everything lives in a temporary folder (under $TMPDIR, or /tmp: the file
# system a service's folders are usually on) with its own registry store,
# removed at the end. Prints the files per second of each run, from the
# service's start to the last output, its start included.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
files=${2:-2000}
kib=${3:-4}
runs=${4:-3}
bin=$build/bin
# shellcheck source=bench/signing_service.sh
. "$(dirname "$0")/signing_service.sh"
setup_signing_service Durable

mkdir -p "$work/source"
for i in $(seq 1 "$files"); do head -c $((kib * 1024)) /dev/urandom > "$work/source/s$i.bin"; done

# run <operation> <output suffix>: one run; prints its files per second.
run() {
  signing_reg add "$profile\\rules\\Rule 1" /v Operation /t REG_SZ /d "$1" /f
  fill_input
  sync
  local start secs
  start=$(now)
  "$bin/mirelservice" start Durable > /dev/null
  wait_for_outputs "$2" "$files"
  # Done when the inputs are gone too: they go only once their outputs are on disk.
  while [ -n "$(ls -A "$work/in")" ]; do sleep 0.05; done
  secs=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
  "$bin/mirelservice" stop Durable > /dev/null
  awk -v n="$files" -v s="$secs" 'BEGIN { printf "%.0f", n / s }'
}

for operation in "B64E .b64" "SIGN .p7s"; do
  set -- $operation
  rates=""
  for _ in $(seq 1 "$runs"); do rates="$rates $(run "$1" "$2")"; done
  echo "$1, $files x $kib KiB, files/s:$rates"
done

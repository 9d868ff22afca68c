#!/usr/bin/env bash
# The service beside the equivalent `openssl cms` shell loop: signing many
# small files, then a few large ones, with a rule of default settings (block
# form, attached DER signature). Prints files/s, MB/s, the peak memory of the
# service, and the ratio of the loop's time to the service's (above 1: the
# service is faster).
#
#   bench/service_bench.sh [build folder, default build] [small files, default 1000]
#                          [small size in KiB, default 4] [large files, default 3]
#                          [large size in MiB, default 100]
#
# The build folder must hold bin/mirelservice, bin/reg and bin/make_test_pki.
# Everything lives in a temporary folder with its own registry store, removed
# at the end. The service's time runs from its start to the last output, its
# start included.
set -euo pipefail

gostConf=$(cd "$(dirname "$0")" && pwd)/gost_openssl.cnf
build=$(cd "${1:-build}" && pwd)
small=${2:-1000}
smallKib=${3:-4}
large=${4:-3}
largeMib=${5:-100}
bin=$build/bin
# shellcheck source=bench/signing_service.sh
. "$(dirname "$0")/signing_service.sh"
setup_signing_service Bench


# service_run <count>: signs the files of $work/source with the service; sets
# secs and mib (the service's peak resident memory, read from /proc before it
# is stopped). The files are in place before the service starts, so that it
# never finds one half copied.
service_run() {
  local count=$1
  fill_input
  local start pid
  start=$(now)
  "$bin/mirelservice" start Bench > /dev/null
  wait_for_outputs .p7s "$count"
  secs=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
  pid=$(instance_pid)
  mib=$(( $(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$pid/status") / 1024 ))
  "$bin/mirelservice" stop Bench > /dev/null
}

# openssl_run: the same signatures by a shell loop of openssl cms; sets osecs.
openssl_run() {
  rm -rf "$work/oout"
  mkdir -p "$work/oout"
  local start f
  start=$(now)
  for f in "$work/source/"*; do
    OPENSSL_CONF=$gostConf openssl cms -sign -binary -nodetach -md md_gost12_256 \
      -signer "$work/pki/user1/cert.pem" -inkey "$work/pki/user1/key.pem" -in "$f" -outform DER \
      -out "$work/oout/$(basename "$f").p7s"
  done
  osecs=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
}

printf "%-28s %8s %9s %9s %8s %9s %9s %7s\n" case files "svc s" "svc f/s" "svc MB/s" "svc MiB" "loop s" ratio
row() {  # row <name> <count> <total bytes>
  local fps mbps ratio
  fps=$(awk -v n="$2" -v s="$secs" 'BEGIN { printf "%.1f", n / s }')
  mbps=$(awk -v b="$3" -v s="$secs" 'BEGIN { printf "%.1f", b / 1e6 / s }')
  ratio=$(awk -v a="$osecs" -v b="$secs" 'BEGIN { printf "%.2f", a / b }')
  printf "%-28s %8s %9s %9s %8s %9s %9s %7s\n" "$1" "$2" "$secs" "$fps" "$mbps" "$mib" "$osecs" "$ratio"
}

mkdir -p "$work/source"
for i in $(seq 1 "$small"); do head -c $((smallKib * 1024)) /dev/urandom > "$work/source/s$i.bin"; done
service_run "$small"
openssl_run
row "$small x $smallKib KiB" "$small" $((small * smallKib * 1024))

rm -rf "$work/source"
mkdir -p "$work/source"
for i in $(seq 1 "$large"); do head -c $((largeMib * 1024 * 1024)) /dev/urandom > "$work/source/l$i.bin"; done
service_run "$large"
openssl_run
row "$large x $largeMib MiB" "$large" $((large * largeMib * 1024 * 1024))

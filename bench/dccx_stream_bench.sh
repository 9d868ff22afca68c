#!/usr/bin/env bash
# DCCX in stream mode beside openssl's two steps (cms -decrypt, then cms
# -verify) on the same signed-then-encrypted message: processor seconds (user
# and system) and peak memory of each, and the ratio of DCCX's processor time
# to openssl's two steps together. The message is SGEN's, in stream mode with
# a time stamp, encrypted with GOST 28147-89 (the one content cipher whose
# long messages the openssl tool decrypts right); DCCX checks the stamp,
# verifies the signature and writes the content, and both give back the input.
#
#   bench/dccx_stream_bench.sh [build folder, default build] [size in MiB, default 64]
#
# The build folder must hold bin/sgen_stream_driver (configure with
# -DQELM_BUILD_BENCH=ON) and the shared test PKI (test-pki, made by the
# tests or by the driver's first run). The work folder lives in $TMPDIR
# (default /tmp) and is removed at the end. Not a test.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
size=${2:-64}
driver=$build/bin/sgen_stream_driver
[ -x "$driver" ] || { echo "no $driver: build with -DQELM_BUILD_BENCH=ON" >&2; exit 2; }
gostConf=$(cd "$(dirname "$0")" && pwd)/gost_openssl.cnf

work=$(mktemp -d "${TMPDIR:-/tmp}/dccx-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export QELM_ROOT=$work/root XDG_CONFIG_HOME=$work/config
mkdir -p "$QELM_ROOT" "$XDG_CONFIG_HOME"

# measure <command...>: sets cpu (user and system seconds) and mib (peak).
measure() {
  if ! /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" > /dev/null 2> "$work/err"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  local user sys kib
  read -r user sys kib < "$work/time"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  mib=$((kib / 1024))
}

head -c $((size * 1048576)) /dev/urandom > "$work/data.bin"
cp "$work/data.bin" "$work/input.bin"
measure "$driver" "$work/input.bin" "$work/sgen" 0
sealed=$work/sgen/out/input.bin.p7s.p7e
pki=$build/test-pki
cp "$sealed" "$work/sealed.p7e"

measure "$driver" --dccx "$sealed" "$work/dccx" 0
dccxCpu=$cpu dccxMib=$mib
cmp -s "$work/data.bin" "$work/dccx/out/input.bin" || { echo "DCCX gave other content" >&2; exit 1; }

export OPENSSL_CONF=$gostConf
measure openssl cms -decrypt -binary -inform DER -in "$work/sealed.p7e" -recip "$pki/user2/cert.pem" \
  -inkey "$pki/user2/key.pem" -out "$work/signed.p7s"
decryptCpu=$cpu decryptMib=$mib
measure openssl cms -verify -binary -inform DER -in "$work/signed.p7s" -CAfile "$pki/ca/cert.pem" \
  -out "$work/content"
verifyCpu=$cpu verifyMib=$mib
cmp -s "$work/data.bin" "$work/content" || { echo "openssl gave other content" >&2; exit 1; }

opensslCpu=$(awk -v a="$decryptCpu" -v b="$verifyCpu" 'BEGIN { printf "%.2f", a + b }')
opensslMib=$((decryptMib > verifyMib ? decryptMib : verifyMib))
printf "%-34s %8s %8s\n" "$size MiB" "cpu s" "peak MiB"
printf "%-34s %8s %8s\n" "DCCX stream" "$dccxCpu" "$dccxMib"
printf "%-34s %8s %8s\n" "openssl cms -decrypt" "$decryptCpu" "$decryptMib"
printf "%-34s %8s %8s\n" "openssl cms -verify" "$verifyCpu" "$verifyMib"
printf "%-34s %8s %8s\n" "openssl, both steps" "$opensslCpu" "$opensslMib"
printf "DCCX / openssl (cpu): %s\n" "$(awk -v a="$dccxCpu" -v b="$opensslCpu" 'BEGIN { printf "%.2f", a / b }')"

#!/usr/bin/env bash
# The block file forms on a file past 4 GiB, where 32-bit sizes and offsets
# would wrap: attached signing and encryption write DER whose lengths take
# five octets, and the library reads them back to the same bytes. The input
# is sparse (zeros but for a marker at its end), yet hashing and encrypting
# it takes minutes, which is why this is a bench case and not a test.
#
#   bench/block_forms_beyond_4gib.sh [build folder, default build] [size in MiB, default 4097]
#
# The build folder must hold bin/qelm_bench_driver (configure with
# -DQELM_BUILD_BENCH=ON). The outputs need about three times the size in
# $TMPDIR (default /tmp); the folder is removed at the end. Not a test.
set -euo pipefail

build=${1:-build}
size=${2:-4097}
driver=$build/bin/qelm_bench_driver
[ -x "$driver" ] || { echo "no $driver: build with -DQELM_BUILD_BENCH=ON" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/bench_key.sh"

truncate -s $((size * 1024 * 1024 - 16)) "$work/data"
printf 'end of the data.' >> "$work/data"

# run <operation> <input> <output>: prints its time and peak memory
run() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$driver" "$1" "$work/pse" "$work/local" "$2" "$3" > /dev/null
  read -r secs kib < "$work/time"
  printf "%-12s %8s s %6d MiB  %s bytes\n" "$1" "$secs" $((kib / 1024)) "$(stat -c %s "$3")"
}
# der_long <file>: the outer SEQUENCE's length takes five octets (30 85 ...)
der_long() { [ "$(od -An -tx1 -N2 "$1" | tr -d ' ')" = "3085" ] || { echo "$1: not DER with a 5-octet length" >&2; exit 1; }; }
same() { cmp -s "$work/data" "$1" || { echo "$1 differs from the input" >&2; exit 1; }; rm -f "$1"; }

echo "input: $size MiB (sparse)"
run sign-blk "$work/data" "$work/q.p7s"
der_long "$work/q.p7s"
run verify-str "$work/q.p7s" "$work/q.content"
same "$work/q.content"
rm -f "$work/q.p7s"
run encrypt-blk "$work/data" "$work/q.p7e"
der_long "$work/q.p7e"
run decrypt-blk "$work/q.p7e" "$work/q.plain"
same "$work/q.plain"
echo "signed and encrypted as DER past 4 GiB; verified and decrypted to the same bytes"

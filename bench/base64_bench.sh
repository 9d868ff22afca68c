#!/usr/bin/env bash
# Times the Base64 codec of B64E and B64D against coreutils base64 on the
# same files in one run: encoding and decoding, MB/s of each, the ratio of
# the codec's time to base64's (below 1: the codec is faster) and the peak
# resident memory of each. Run it at two sizes to see that the codec's
# memory does not grow with the file (it works through fixed buffers).
#
#   bench/base64_bench.sh [build folder, default build] [sizes in MiB, default "1 1024"]
#
# The build folder must hold bin/base64_bench_driver (configure with
# -DQELM_BUILD_BENCH=ON). The files live in a temporary folder, removed at
# the end. Not a test: nothing here passes or fails on speed.
set -euo pipefail

build=${1:-build}
sizes=${2:-"1 1024"}
driver=$build/bin/base64_bench_driver
[ -x "$driver" ] || { echo "no $driver: build with -DQELM_BUILD_BENCH=ON" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# measure OUTPUT <command...>: runs the command with its standard output in
# OUTPUT; sets secs (elapsed) and mib (peak resident memory).
measure() {
  local output=$1; shift
  # The redirection below empties the output; never remove it first (it can be /dev/null).
  if ! /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$output" 2> "$work/err"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  read -r secs kib < "$work/time"
  mib=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
}

rate() { awk -v b="$1" -v s="$2" 'BEGIN { if (s <= 0) s = 0.01; printf "%.0f", b / 1e6 / s }'; }

printf "%-8s %-8s %12s %10s %12s %10s %8s\n" size step "codec MB/s" "codec MiB" "base64 MB/s" "base64 MiB" ratio
for size in $sizes; do
  head -c $((size * 1024 * 1024)) /dev/urandom > "$work/data"
  bytes=$(stat -c %s "$work/data")

  measure /dev/null "$driver" encode "$work/data" "$work/codec.b64"
  codec_secs=$secs codec_mib=$mib
  measure "$work/coreutils.b64" base64 -w 76 "$work/data"
  base_secs=$secs base_mib=$mib
  printf "%-8s %-8s %12s %10s %12s %10s %8s\n" "${size}M" encode "$(rate "$bytes" "$codec_secs")" "$codec_mib" \
    "$(rate "$bytes" "$base_secs")" "$base_mib" "$(awk -v a="$codec_secs" -v b="$base_secs" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"

  rm -f "$work/codec.out"
  measure /dev/null "$driver" decode "$work/codec.b64" "$work/codec.out"
  codec_secs=$secs codec_mib=$mib
  measure "$work/coreutils.out" base64 -d "$work/coreutils.b64"
  base_secs=$secs base_mib=$mib
  cmp -s "$work/codec.out" "$work/data" || { echo "the codec's decoding differs from the data" >&2; exit 1; }
  printf "%-8s %-8s %12s %10s %12s %10s %8s\n" "${size}M" decode "$(rate "$bytes" "$codec_secs")" "$codec_mib" \
    "$(rate "$bytes" "$base_secs")" "$base_mib" "$(awk -v a="$codec_secs" -v b="$base_secs" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
  rm -f "$work"/*
done

#!/usr/bin/env bash
# Times the library against openssl with the GOST engine on large files:
# every file form, block and stream (signing attached and detached,
# verification, encryption, decryption) and hashing, each by both in the same
# run, with the ratio of their times and the peak memory of each. Each size
# gets its table; a summary then tells, per library form, whether its peak
# memory stayed the same for every size (within 4 MiB) and whether its time
# was within 1.05 times openssl's at the largest size.
#
#   bench/qelm_bench.sh [build folder, default build] [sizes in MiB, default "100 1024"]
#
# The build folder must hold bin/qelm_bench_driver (configure with
# -DQELM_BUILD_BENCH=ON). A throw-away key and self-signed certificate are
# made in a temporary folder, which is removed at the end.
set -euo pipefail

build=${1:-build}
sizes=${2:-"100 1024"}
driver=$build/bin/qelm_bench_driver
[ -x "$driver" ] || { echo "no $driver: build with -DQELM_BUILD_BENCH=ON" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/bench_key.sh"

# measure <command...>: sets secs (processor time, user and system: steadier
# than the elapsed time on a shared machine) and mib (peak resident memory)
measure() {
  if ! /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" > /dev/null 2> "$work/err"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  local user sys
  read -r user sys kib < "$work/time"
  secs=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  mib=$((kib / 1024))
}

declare -A peak_min peak_max last_ratio
forms=()
row() {  # row <name> <qelm secs> <qelm MiB> <openssl secs> <openssl MiB>
  local ratio
  ratio=$(awk -v a="$2" -v b="$4" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  printf "%-24s %9s %9s %7s %11s %11s\n" "$1" "$2" "$4" "$ratio" "$3" "$5"
  if [ -z "${peak_min[$1]:-}" ]; then
    forms+=("$1")
    peak_min[$1]=$3
    peak_max[$1]=$3
  fi
  [ "$3" -lt "${peak_min[$1]}" ] && peak_min[$1]=$3
  [ "$3" -gt "${peak_max[$1]}" ] && peak_max[$1]=$3
  last_ratio[$1]=$ratio
}

q() { measure "$driver" "$1" "$work/pse" "$work/local" "$2" "$3"; qs=$secs; qm=$mib; }
o() { measure openssl "$@"; os=$secs; om=$mib; }
same() { cmp -s "$1" "$2" || { echo "$3" >&2; exit 1; }; }

for size in $sizes; do
  head -c $((size * 1024 * 1024)) /dev/urandom > "$work/data"
  echo
  echo "file: $size MiB; processor times in seconds, peak memory in MiB (ratio = library / openssl)"
  printf "%-24s %9s %9s %7s %11s %11s\n" operation library openssl ratio "lib MiB" "openssl MiB"

  q sign-str "$work/data" "$work/q.p7s"
  o cms -sign -binary -nodetach -stream -md md_gost12_256 -signer "$cert" -inkey "$key" \
    -in "$work/data" -outform DER -out "$work/o.p7s"
  row "sign (stream)" "$qs" "$qm" "$os" "$om"

  q sign-blk "$work/data" "$work/qb.p7s"
  o cms -sign -binary -nodetach -md md_gost12_256 -signer "$cert" -inkey "$key" \
    -in "$work/data" -outform DER -out "$work/ob.p7s"
  row "sign (block)" "$qs" "$qm" "$os" "$om"

  q detsign-str "$work/data" "$work/q.p7d"
  o cms -sign -binary -stream -md md_gost12_256 -signer "$cert" -inkey "$key" \
    -in "$work/data" -outform DER -out "$work/o.p7d"
  row "detached sign (stream)" "$qs" "$qm" "$os" "$om"

  q detsign-blk "$work/data" "$work/qb.p7d"
  o cms -sign -binary -md md_gost12_256 -signer "$cert" -inkey "$key" \
    -in "$work/data" -outform DER -out "$work/ob.p7d"
  row "detached sign (block)" "$qs" "$qm" "$os" "$om"

  # The attached verification has a stream form only; it reads the block
  # form's DER output as well.
  q verify-str "$work/q.p7s" "$work/q.content"
  o cms -verify -binary -inform DER -in "$work/o.p7s" -CAfile "$cert" -out "$work/o.content"
  row "verify (stream)" "$qs" "$qm" "$os" "$om"
  same "$work/data" "$work/q.content" "verified content differs"

  q verify-str "$work/qb.p7s" "$work/qb.content"
  o cms -verify -binary -inform DER -in "$work/ob.p7s" -CAfile "$cert" -out "$work/ob.content"
  row "verify DER (stream)" "$qs" "$qm" "$os" "$om"
  same "$work/data" "$work/qb.content" "verified content differs"

  q detverify-str "$work/data" "$work/q.p7d"
  o cms -verify -binary -inform DER -in "$work/o.p7d" -content "$work/data" -CAfile "$cert" -out /dev/null
  row "detached verify (stream)" "$qs" "$qm" "$os" "$om"

  q detverify-blk "$work/data" "$work/qb.p7d"
  o cms -verify -binary -inform DER -in "$work/ob.p7d" -content "$work/data" -CAfile "$cert" -out /dev/null
  row "detached verify (block)" "$qs" "$qm" "$os" "$om"

  q encrypt-str "$work/data" "$work/q.p7e"
  o cms -encrypt -binary -stream -kuznyechik-ctr-acpkm -in "$work/data" -outform DER -out "$work/o.p7e" "$cert"
  row "encrypt (stream)" "$qs" "$qm" "$os" "$om"

  q encrypt-blk "$work/data" "$work/qb.p7e"
  o cms -encrypt -binary -kuznyechik-ctr-acpkm -in "$work/data" -outform DER -out "$work/ob.p7e" "$cert"
  row "encrypt (block)" "$qs" "$qm" "$os" "$om"

  # openssl's own output past the first key-meshing section is wrong (it never
  # sets the section size); only its time is compared.
  q decrypt-str "$work/q.p7e" "$work/q.plain"
  o cms -decrypt -binary -inform DER -in "$work/o.p7e" -recip "$cert" -inkey "$key" -out "$work/o.plain"
  row "decrypt (stream)" "$qs" "$qm" "$os" "$om"
  same "$work/data" "$work/q.plain" "decrypted content differs"

  q decrypt-blk "$work/qb.p7e" "$work/qb.plain"
  o cms -decrypt -binary -inform DER -in "$work/ob.p7e" -recip "$cert" -inkey "$key" -out "$work/ob.plain"
  row "decrypt (block)" "$qs" "$qm" "$os" "$om"
  same "$work/data" "$work/qb.plain" "decrypted content differs"

  q hash "$work/data" "$work/q.hash"
  o dgst -md_gost12_256 -r -out "$work/o.hash" "$work/data"
  row "hash GOST 34.11-2012" "$qs" "$qm" "$os" "$om"
  [ "$(cut -c1-64 "$work/q.hash")" = "$(cut -c1-64 "$work/o.hash")" ] || { echo "digests differ" >&2; exit 1; }
  rm -f "$work"/q* "$work"/o*.p7? "$work"/o.content "$work"/ob.content "$work"/o*.plain
done

echo
echo "targets: peak memory the same for every size (within 4 MiB); time at most 1.05 x openssl's at the largest size"
printf "%-24s %15s %9s %7s %s\n" form "lib MiB (range)" memory ratio time
for form in "${forms[@]}"; do
  spread=$((peak_max[$form] - peak_min[$form]))
  memory=$([ "$spread" -le 4 ] && echo met || echo "NOT met")
  time_ok=$(awk -v r="${last_ratio[$form]}" 'BEGIN { print (r != "-" && r <= 1.05) ? "met" : "NOT met" }')
  printf "%-24s %15s %9s %7s %s\n" "$form" "${peak_min[$form]}-${peak_max[$form]}" "$memory" "${last_ratio[$form]}" "$time_ok"
done

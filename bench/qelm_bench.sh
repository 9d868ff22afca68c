#!/usr/bin/env bash
# Times the library against openssl with the GOST engine on one large file:
# signing, verification, encryption, decryption and hashing, each by both in
# the same run, with the ratio of their times and the peak memory of each
# (so the stream forms can be seen to stay small whatever the file's size).
#
#   bench/qelm_bench.sh [build folder, default build] [size in MiB, default 100]
#
# The build folder must hold bin/qelm_bench_driver (configure with
# -DQELM_BUILD_BENCH=ON). A throw-away key and self-signed certificate are
# made in a temporary folder, which is removed at the end.
set -euo pipefail

build=${1:-build}
size=${2:-100}
driver=$build/bin/qelm_bench_driver
[ -x "$driver" ] || { echo "no $driver: build with -DQELM_BUILD_BENCH=ON" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# openssl dgst reads its digest option before -engine, so the engine is
# loaded through a configuration file instead.
cat > "$work/openssl.cnf" <<'CONF'
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
gost = gost_section
[gost_section]
engine_id = gost
default_algorithms = ALL
CONF
export OPENSSL_CONF=$work/openssl.cnf

mkdir -p "$work/pse" "$work/local"
openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out "$work/pse/key.pem" 2>/dev/null
openssl req -new -x509 -key "$work/pse/key.pem" -subj "/CN=Bench/C=RU" -days 30 \
  -addext "keyUsage=digitalSignature,keyEncipherment,keyAgreement" -out "$work/pse/cert.pem" 2>/dev/null
cp "$work/pse/cert.pem" "$work/local/cert.pem"
cert=$work/pse/cert.pem key=$work/pse/key.pem
head -c $((size * 1024 * 1024)) /dev/urandom > "$work/data"

# measure <command...>: sets secs and mib
measure() {
  if ! /usr/bin/time -f "%e %M" -o "$work/time" "$@" > /dev/null 2> "$work/err"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  read -r secs kib < "$work/time"
  mib=$((kib / 1024))
}

row() {  # row <name> <qelm secs> <qelm MiB> <openssl secs> <openssl MiB>
  local ratio
  ratio=$(awk -v a="$2" -v b="$4" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  printf "%-24s %9s %9s %7s %11s %11s\n" "$1" "$2" "$4" "$ratio" "$3" "$5"
}

q() { measure "$driver" "$1" "$work/pse" "$work/local" "$2" "$3"; qs=$secs; qm=$mib; }
o() { measure openssl "$@"; os=$secs; om=$mib; }

echo "file: $size MiB; times in seconds, peak memory in MiB (ratio = library / openssl)"
printf "%-24s %9s %9s %7s %11s %11s\n" operation library openssl ratio "lib MiB" "openssl MiB"

q sign-str "$work/data" "$work/q.p7s"
o cms -sign -binary -nodetach -stream -md md_gost12_256 -signer "$cert" -inkey "$key" \
  -in "$work/data" -outform DER -out "$work/o.p7s"
row "sign (stream)" "$qs" "$qm" "$os" "$om"

q sign-blk "$work/data" "$work/qb.p7s"
o cms -sign -binary -nodetach -md md_gost12_256 -signer "$cert" -inkey "$key" \
  -in "$work/data" -outform DER -out "$work/ob.p7s"
row "sign (block)" "$qs" "$qm" "$os" "$om"

q verify-str "$work/q.p7s" "$work/q.content"
o cms -verify -binary -inform DER -in "$work/o.p7s" -CAfile "$cert" -out "$work/o.content"
row "verify (stream)" "$qs" "$qm" "$os" "$om"
cmp -s "$work/data" "$work/q.content" || { echo "verified content differs" >&2; exit 1; }

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
cmp -s "$work/data" "$work/q.plain" || { echo "decrypted content differs" >&2; exit 1; }

q decrypt-blk "$work/qb.p7e" "$work/qb.plain"
o cms -decrypt -binary -inform DER -in "$work/ob.p7e" -recip "$cert" -inkey "$key" -out "$work/ob.plain"
row "decrypt (block)" "$qs" "$qm" "$os" "$om"

q hash "$work/data" "$work/q.hash"
o dgst -md_gost12_256 -r -out "$work/o.hash" "$work/data"
row "hash GOST 34.11-2012" "$qs" "$qm" "$os" "$om"
[ "$(cut -c1-64 "$work/q.hash")" = "$(cut -c1-64 "$work/o.hash")" ] || { echo "digests differ" >&2; exit 1; }

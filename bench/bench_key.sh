# Sourced by the library's bench scripts once $work (their temporary folder)
# exists: openssl with the GOST engine, a throw-away key and self-signed
# certificate in $work/pse, the certificate also trusted in $work/local; sets
# cert and key to their files.
export OPENSSL_CONF=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/gost_openssl.cnf
mkdir -p "$work/pse" "$work/local"
openssl genpkey -algorithm gost2012_256 -pkeyopt paramset:A -out "$work/pse/key.pem" 2>/dev/null
openssl req -new -x509 -key "$work/pse/key.pem" -subj "/CN=Bench/C=RU" -days 30 \
  -addext "keyUsage=digitalSignature,keyEncipherment,keyAgreement" -out "$work/pse/cert.pem" 2>/dev/null
cp "$work/pse/cert.pem" "$work/local/cert.pem"
cert=$work/pse/cert.pem key=$work/pse/key.pem

#!/usr/bin/env bash
# Makes a throw-away PKI for tests and demos in OUTDIR:
#   ca.pem/ca.key              the test CA (point SSL_CERT_FILE at ca.pem)
#   localhost.pem/.key         for DNS:localhost, IP:127.0.0.1, IP:::1
#   other.pem/.key             valid, but for another name (other.test)
#   expired.pem/.key           for localhost, expired a year ago
#   selfsigned.pem/.key        for localhost, signed by itself
#   unknownca.pem/.key         for localhost, signed by a CA nobody trusts
# Usage: scripts/make-pki.sh OUTDIR
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
mkdir -p "$out"
cd "$out"

# Runs a command silently; shows its output only when it fails.
quiet() {
  local log
  if ! log=$("$@" 2>&1); then
    echo "failed: $*" >&2
    echo "$log" >&2
    exit 1
  fi
}

# RSA keys: Wine's crypt32 refuses an ECDSA signature whose r or s has a
# leading zero byte (one in about 128 signatures), which would make about
# one PKI in 64 fail every TLS test of the Windows program.
key() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }

key ca.key
quiet openssl req -x509 -new -key ca.key -sha256 -days 3650 \
  -subj "/CN=Talvoro Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem

# A leaf for NAME with the given SAN, signed by the CA (valid 10 years).
leaf() {
  local name=$1 san=$2
  key "$name.key"
  quiet openssl req -new -key "$name.key" -subj "/CN=$name" -out "$name.csr"
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    "$san" > "$name.ext"
  quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key \
    -CAcreateserial -days 3650 -sha256 -extfile "$name.ext" -out "$name.pem"
  rm -f "$name.csr" "$name.ext"
}

leaf localhost "DNS:localhost,IP:127.0.0.1,IP:::1"
leaf other "DNS:other.test"

# Expired: `openssl x509 -days` refuses negative values, `openssl ca` takes
# explicit dates.
key expired.key
quiet openssl req -new -key expired.key -subj "/CN=localhost" -out expired.csr
mkdir -p ca-db
: > ca-db/index.txt
echo 1000 > ca-db/serial
cat > ca-db/ca.cnf <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = leaf_ext
[ any ]
commonName = supplied
[ leaf_ext ]
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
CNF
quiet openssl ca -batch -config ca-db/ca.cnf -cert ca.pem -keyfile ca.key \
  -startdate 20200101000000Z -enddate 20210101000000Z \
  -in expired.csr -out expired.pem -notext
rm -rf ca-db expired.csr

key selfsigned.key
quiet openssl req -x509 -new -key selfsigned.key -sha256 -days 3650 \
  -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
  -out selfsigned.pem

# A leaf for localhost whose issuer is a second CA that is not in ca.pem.
key rogue-ca.key
quiet openssl req -x509 -new -key rogue-ca.key -sha256 -days 3650 \
  -subj "/CN=Untrusted Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" -out rogue-ca.pem
key unknownca.key
quiet openssl req -new -key unknownca.key -subj "/CN=localhost" \
  -out unknownca.csr
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  > unknownca.ext
quiet openssl x509 -req -in unknownca.csr -CA rogue-ca.pem -CAkey rogue-ca.key \
  -CAcreateserial -days 3650 -sha256 -extfile unknownca.ext -out unknownca.pem
rm -f unknownca.csr unknownca.ext rogue-ca.key rogue-ca.srl
rm -f ca.srl

#!/usr/bin/env bash
# Makes the code-signing PKI of the Windows tests in OUTDIR:
#   root.pem/.key          a root the tests' Wine prefix trusts
#   publisher.pem/.key     the launcher's signer (code signing, under root);
#                          publisher.sha256 holds the SHA-256 of its DER
#                          public key, the signer list of the signed program
#   other.pem/.key         another signer under the same root, not listed
#   stranger-root.pem      a root nobody trusts, and its signer
#   stranger.pem/.key
#   stranger256.pem/.key   the same with a SHA-256 certificate
#   *-chain.pem            each signer with its root, as signatures carry it
# Certificates are signed with SHA-1 but for stranger256: Wine's
# WinVerifyTrust skips the chain of a signer whose certificate is signed
# with SHA-256, which the program must notice by itself.
# Usage: tests/win/make-codesign-pki.sh OUTDIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1.tmp"
cd "$1.tmp"

quiet() {
  local log
  log=$("$@" 2>&1) || { echo "failed: $*" >&2; echo "$log" >&2; exit 1; }
}
key() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }
root() {
  key "$1.key"
  quiet openssl req -x509 -new -key "$1.key" -sha1 -days 3650 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" -out "$1.pem"
}
signer() {
  local name=$1 issuer=$2 hash=${3:-sha1}
  key "$name.key"
  quiet openssl req -new -key "$name.key" -subj "/CN=Talvoro Test $name" \
    -out "$name.csr"
  printf '%s\n' "basicConstraints=CA:FALSE" \
    "keyUsage=critical,digitalSignature" "extendedKeyUsage=codeSigning" \
    >"$name.ext"
  quiet openssl x509 -req -in "$name.csr" -CA "$issuer.pem" \
    -CAkey "$issuer.key" -set_serial "0x$(openssl rand -hex 8)" "-$hash" \
    -days 3650 -extfile "$name.ext" -out "$name.pem"
  cat "$name.pem" "$issuer.pem" >"$name-chain.pem"
  rm -f "$name.csr" "$name.ext"
}

root root "Talvoro Test Code Signing Root"
root stranger-root "Talvoro Test Stranger Root"
signer publisher root
signer other root
signer stranger stranger-root
signer stranger256 stranger-root sha256
openssl x509 -in publisher.pem -pubkey -noout |
  openssl pkey -pubin -outform DER | sha256sum | cut -c1-64 >publisher.sha256
cd ..
rm -rf "$1"
mv "$1.tmp" "$1"

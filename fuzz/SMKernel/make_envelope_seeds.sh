#!/bin/sh
# make_envelope_seeds.sh: regenerates the envelope fuzzer's recipient and seeds (run by hand; both
# are small and committed, since the seeds are encrypted for exactly this recipient).
#   envelope/recipient.p12   1024-bit RSA key and certificate (keyEncipherment, subject key
#                            identifier), password "secret", PBKDF and MAC with one iteration so
#                            that every fuzz input can afford to read it
#   seeds/envelope           openssl cms -keyid envelopes for it: 3DES in DER, streamed BER with
#                            constructed content, empty and multi-block content, AES-256 (refused),
#                            and one naming the recipient by issuer and serial (refused shape)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds/envelope"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out" "$here/envelope"
cd "$work"
export OPENSSL_CONF=/dev/null

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out r.key 2>/dev/null
openssl req -x509 -key r.key -days 3650 -subj "/CN=Envelope fuzz recipient" \
    -addext "keyUsage=critical,keyEncipherment" -addext "subjectKeyIdentifier=hash" -out r.pem
openssl pkcs12 -export -noiter -nomaciter -passout pass:secret -inkey r.key -in r.pem \
    -out "$here/envelope/recipient.p12"

printf 'short plain text' > small
head -c 9000 /dev/urandom > large
: > empty
enc() { openssl cms -encrypt -binary -outform DER "$@" r.pem; }
enc -keyid -des3 -in small -out "$out/des3.der"
enc -keyid -des3 -stream -in large -out "$out/des3-stream.der"
enc -keyid -des3 -in empty -out "$out/des3-empty.der"
enc -keyid -des3 -in large -out "$out/des3-large.der"
enc -keyid -aes256 -in small -out "$out/aes256.der"
enc -des3 -in small -out "$out/issuer-serial.der"

#!/bin/sh
# make_sm2_envelope_seeds.sh: regenerates the SM2 envelope fuzzer's recipient and seeds (run by
# hand; both are small and committed, since the seeds are encrypted for exactly this recipient).
#   sm2envelope/recipient.ctr   an SM2 key container (Base64 text, PIN 12345678) whose certificate
#                               carries keyEncipherment and a subject key identifier
#   seeds/sm2envelope           envelopes for it made by openssl alone
#                               (tests/fixtures/make-sm2-envelope-fixtures.sh): "abc" with the key
#                               in both forms, 17000 octets (two read blocks), two recipients, no
#                               content, an AES content identifier, a 15-octet IV and key, and the
#                               Base64 text of one
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds/sm2envelope"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out" "$here/sm2envelope"

bash "$here/../../tests/fixtures/make-sm2-envelope-fixtures.sh" "$work" 17000 > /dev/null
cp "$work/recip.ctr" "$here/sm2envelope/recipient.ctr"
for name in abc-der abc-raw large-der two-recipients-der no-content-der aes-content-der short-iv-der \
    short-key-der; do
    cp "$work/$name.env" "$out/$name.der"
done
openssl base64 -in "$work/abc-der.env" -out "$out/abc-der.b64"

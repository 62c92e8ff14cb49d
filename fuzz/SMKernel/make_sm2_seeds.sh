#!/bin/sh
# make_sm2_seeds.sh: regenerates the committed seeds of the SM2Cipher and key-container decoders
# (run by hand; the seeds are small).
#   seeds/sm2   SM2Cipher DER from `openssl pkeyutl -encrypt`, and key containers made by the
#               openssl tool alone (tests/fixtures/make-sm2-container.sh), PIN 12345678
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out="$here/seeds/sm2"
rm -rf "$out"
mkdir -p "$out"

bash "$here/../../tests/fixtures/make-sm2-container.sh" "$work" 12345678 sm2
cp "$work/sm2.pfx" "$out/container.der"
openssl pkey -in "$work/sm2.key" -pubout -out "$work/pub.pem"
for n in 1 16 200; do
    head -c "$n" /dev/urandom > "$work/m$n"
    openssl pkeyutl -encrypt -pubin -inkey "$work/pub.pem" -in "$work/m$n" -out "$out/sm2cipher-$n.der"
done
# A container cut short, and an SM2Cipher of three fields: SEQUENCE { 1, 1, OCTET STRING 00 }.
head -c 200 "$work/sm2.pfx" > "$out/container-cut.der"
printf '\060\011\002\001\001\002\001\001\004\001\000' > "$out/sm2cipher-short.der"

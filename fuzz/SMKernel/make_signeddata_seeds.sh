#!/bin/bash
# make_signeddata_seeds.sh: regenerates the committed SignedData seeds (run by hand; the seeds are
# small).
#   seeds/signeddata   the openssl command's SignedData (attached with signed attributes, detached
#                      without, two certificates) and our encoder's layouts laid out byte by byte:
#                      RSA detached and attached, SM2 signatures as two INTEGERs, as a SEQUENCE and
#                      as an OCTET STRING of its DER under the SM identifiers, with attribute blocks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds/signeddata"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"
cd "$work"
export OPENSSL_CONF=/dev/null

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.key 2>/dev/null
openssl req -x509 -key rsa.key -days 3650 -set_serial 0x1001 -subj "/CN=Seed signer" -out rsa.pem
openssl req -x509 -key rsa.key -days 3650 -set_serial 0x1002 -subj "/CN=Seed other" -out other.pem
printf 'seed content' > data
sign() { openssl cms -sign -binary -outform DER -signer rsa.pem -inkey rsa.key -in data -md sha256 "$@"; }
sign -nodetach -out "$out/openssl-attached-attrs.der"
sign -noattr -out "$out/openssl-detached.der"
sign -noattr -certfile other.pem -out "$out/openssl-two-certs.der"
openssl smime -sign -binary -nodetach -outform DER -signer rsa.pem -inkey rsa.key -in data -out "$out/openssl-smime.der"

# DER TLV of a tag and hex content (definite length, minimal form).
tlv() {
    local n=$((${#2} / 2))
    if [ "$n" -lt 128 ]; then printf '%s%02x%s' "$1" "$n" "$2"
    elif [ "$n" -lt 256 ]; then printf '%s81%02x%s' "$1" "$n" "$2"
    else printf '%s82%04x%s' "$1" "$n" "$2"; fi
}
hex() { od -An -tx1 -v | tr -d ' \n'; }
write() { printf '%s' "$2" | xxd -r -p > "$out/$1"; }

cert=$(openssl x509 -in rsa.pem -outform DER | hex)
signature=$(head -c 128 /dev/urandom | hex)
r=9a$(head -c 31 /dev/urandom | hex)
s=12$(head -c 31 /dev/urandom | hex)
oid_signed=06092a864886f70d010702 oid_data=06092a864886f70d010701
oid_sm_signed=060a2a811ccf550601040202 oid_sm_data=060a2a811ccf550601040201
alg_sha256=$(tlv 30 0609608648016503040201'0500') alg_rsa=$(tlv 30 06092a864886f70d010101'0500')
alg_sm3=$(tlv 30 06082a811ccf550183110500) alg_sm2=$(tlv 30 06092a811ccf5501822d01'0500')
name=$(tlv 30 "$(tlv 31 "$(tlv 30 "0603550403$(tlv 0c "$(printf 'Seed signer' | hex)")")")")
issuer_serial=$(tlv 30 "${name}02021001")
attributes=$(tlv 30 "06092a864886f70d010903$(tlv 31 "$oid_data")")

# signed_data OUTER_OID INNER_OID DIGEST_ALG ENC_ALG SIGNATURE_FIELDS [CONTENT_HEX] [SIGNED_ATTRS] [UNSIGNED_ATTRS]
signed_data() {
    local content_info=$2
    [ -n "${6:-}" ] && content_info=$2$(tlv a0 "$(tlv 04 "$6")")
    local signer=$(tlv 30 "020101$issuer_serial$3${7:-}$4$5${8:-}")
    tlv 30 "$1$(tlv a0 "$(tlv 30 "020101$(tlv 31 "$3")$(tlv 30 "$content_info")$(tlv a0 "$cert")$(tlv 31 "$signer")")")"
}
content=$(printf 'seed content' | hex)
write ours-rsa-detached.der "$(signed_data "$oid_signed" "$oid_data" "$alg_sha256" "$alg_rsa" "$(tlv 04 "$signature")")"
write ours-rsa-attached.der \
    "$(signed_data "$oid_signed" "$oid_data" "$alg_sha256" "$alg_rsa" "$(tlv 04 "$signature")" "$content")"
write ours-sm2-integers.der "$(signed_data "$oid_sm_signed" "$oid_sm_data" "$alg_sm3" "$alg_sm2" \
    "$(tlv 02 00"$r")$(tlv 02 "$s")" "$content" "$(tlv a0 "$attributes")")"
write ours-sm2-sequence.der "$(signed_data "$oid_sm_signed" "$oid_sm_data" "$alg_sm3" "$alg_sm2" \
    "$(tlv 30 "$(tlv 02 00"$r")$(tlv 02 "$s")")" "" "" "$(tlv a1 "$attributes")")"
write ours-sm2-der-octets.der "$(signed_data "$oid_sm_signed" "$oid_sm_data" "$alg_sm3" "$alg_sm2" \
    "$(tlv 04 "$(tlv 30 "$(tlv 02 00"$r")$(tlv 02 "$s")")")" "$content" "$(tlv a0 "$attributes")" \
    "$(tlv a1 "$attributes")")"
write token-sm2.der "$(tlv 30 "$(tlv 02 00"$r")$(tlv 02 "$s")")"
for f in "$out"/ours-*.der; do openssl asn1parse -inform DER -in "$f" > /dev/null; done

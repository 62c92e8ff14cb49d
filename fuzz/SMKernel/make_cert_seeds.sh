#!/bin/sh
# make_cert_seeds.sh: regenerates the committed certificate seeds (run by hand; the seeds are small).
#   seeds/cert   certificates made like the token fixtures (RSA, SM2 with SM3), in DER and PEM, and
#                variants that reach the field readers' other branches: GeneralizedTime validity,
#                a multi-valued RDN with a BMPString, no key identifier, an MD5 signature.
seeds=cert
. "$(dirname "$0")/../seed-workspace.sh"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.key 2>/dev/null
openssl req -x509 -key rsa.key -days 3650 -subj "/C=CN/O=Test/CN=RSA 1" \
    -addext "keyUsage=critical,digitalSignature,keyEncipherment" -addext "subjectKeyIdentifier=hash" \
    -outform DER -out "$out/rsa.der"
openssl x509 -inform DER -in "$out/rsa.der" -out "$out/rsa.pem"

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out sm2.key
openssl req -x509 -key sm2.key -sm3 -sigopt distid:1234567812345678 -days 3650 \
    -subj "/C=CN/O=Test/CN=SM2 1" -addext "keyUsage=critical,digitalSignature" \
    -addext "subjectKeyIdentifier=hash" -outform DER -out "$out/sm2.der"

# notAfter beyond 2049 is written as GeneralizedTime.
openssl req -x509 -key rsa.key -days 15000 -multivalue-rdn -utf8 \
    -subj "/C=CN/O=Test+OU=Unit/CN=中文 name/emailAddress=a@b" -outform DER -out "$out/generalized-mv.der"
openssl req -x509 -key rsa.key -md5 -days 1 -subj "/CN=md5" -set_serial 0x80 -outform DER \
    -out "$out/md5-no-keyid.der"

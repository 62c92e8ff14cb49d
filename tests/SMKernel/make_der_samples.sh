#!/bin/sh
# make_der_samples.sh <out dir> <content bytes> <revoked entries>
# Writes DER made by the openssl command-line tool, for round-trip tests of the DER engine:
#   ca.der        a self-signed EC certificate
#   crl.der       a CRL signed by it with <revoked entries> entries
#   content.bin   <content bytes> random octets
#   p7.der        PKCS#7 SignedData carrying content.bin (DER)
#   cms.der       CMS SignedData carrying content.bin (DER)
#   cms-ber.der   the same, streamed: indefinite lengths and a chunked OCTET STRING (BER)
set -eu
out=$1 bytes=$2 entries=$3
cd "$out"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem \
  -subj "/C=CN/O=Varnell Test/CN=Varnell Test CA" -days 30 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der

# Revoked entries go straight into the CA database; 'openssl ca -gencrl' lists them all.
awk -v n="$entries" 'BEGIN { for (i = 1; i <= n; i++)
  printf "R\t301231235959Z\t240101000000Z,keyCompromise\t%08X\tunknown\t/CN=entry %d\n", i, i }' > index.txt
echo 01 > crlnumber
cat > ca.cnf <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
database = $out/index.txt
crlnumber = $out/crlnumber
default_md = sha256
default_crl_days = 30
CNF
openssl ca -batch -gencrl -config ca.cnf -keyfile ca.key -cert ca.pem -out crl.pem 2>/dev/null
openssl crl -in crl.pem -outform DER -out crl.der

head -c "$bytes" /dev/urandom > content.bin
openssl smime -sign -binary -nodetach -in content.bin -signer ca.pem -inkey ca.key -outform DER -out p7.der
openssl cms -sign -binary -nodetach -in content.bin -signer ca.pem -inkey ca.key -outform DER -out cms.der
openssl cms -sign -binary -nodetach -stream -in content.bin -signer ca.pem -inkey ca.key -outform DER \
  -out cms-ber.der

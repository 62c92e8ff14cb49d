#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: install, build the host for a demo publisher, and hold
# one native-messaging conversation with it over a pipe against a demo SoftHSM2 token.
#   1. A demo publisher: a root CA, its code-signing CA and a publisher certificate; a copy of the
#      SoftHSM2 module signed by the publisher (tests/fixtures/sign-module.sh).
#   2. The host built with a module table naming that copy and the demo chain as trusted
#      certificates (VARNELL_MODULE_TABLE, VARNELL_TRUSTED_CERTS).
#   3. A token with an RSA key and certificate under the host's stored PIN.
#   4. GetVersion, SelectCertificate, GetSignCertInfo, SignMsgPKCS7, GetLastErrorDesc, each request
#      and answer printed; the returned PKCS#7 SignedData verified by openssl.
#   5. The two commands that let Chromium use the demo host and token with the example extension
#      (docs/example-extension).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/install-deps.sh

BUILD="$ROOT/build/demo"
# The publisher's files stay with the build: the module path is compiled into the demo host.
PKI="$BUILD/demo-publisher"
SOFTHSM=/usr/lib/softhsm/libsofthsm2.so
# The host's stored PIN: bytes 01 08, then "40917263".
PIN="$(printf '\001\01040917263')"

echo "== demo publisher: root CA, code-signing CA, publisher; a signed copy of SoftHSM2"
mkdir -p "$PKI"
if [ ! -s "$PKI/trusted-certs.txt" ]; then
    (
        cd "$PKI"
        openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 3650 -sha256 \
            -subj "/O=Varnell Demo/CN=Varnell Demo Root CA" -addext "basicConstraints=critical,CA:true" \
            -addext "keyUsage=critical,keyCertSign,cRLSign" -addext "subjectKeyIdentifier=hash" 2>/dev/null
        issue() {  # issue NAME ISSUER COMMON_NAME EXTENSIONS...
            local name=$1 issuer=$2 cn=$3
            shift 3
            printf '%s\n' "$@" > "$name.ext"
            openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
                -subj "/O=Varnell Demo/CN=$cn" 2>/dev/null
            openssl x509 -req -in "$name.csr" -CA "$issuer.pem" -CAkey "$issuer.key" -CAcreateserial \
                -days 3650 -sha256 -extfile "$name.ext" -out "$name.pem" 2>/dev/null
        }
        issue ca root "Varnell Demo Code Signing CA" "basicConstraints=critical,CA:true,pathlen:0" \
            "keyUsage=critical,keyCertSign,cRLSign" "extendedKeyUsage=codeSigning" \
            "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid"
        issue publisher ca "Varnell Demo Module Publisher" "basicConstraints=CA:false" \
            "keyUsage=critical,digitalSignature" "extendedKeyUsage=codeSigning" \
            "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid"
        # The issuing CA first, its root last, one Base64 DER certificate per line.
        { for c in ca root; do openssl x509 -in "$c.pem" -outform DER | base64 -w0; echo; done; } > trusted-certs.txt.new
        mv trusted-certs.txt.new trusted-certs.txt
    )
fi
# The signature file's name is the module path with its last six characters replaced by ".sig",
# so the copy ends in ".dylib" (the loader does not mind the name).
cp "$SOFTHSM" "$PKI/libsofthsm2.dylib"
bash tests/fixtures/sign-module.sh "$PKI/libsofthsm2.dylib" "$PKI/publisher.pem" "$PKI/publisher.key"
echo "SoftHSM2 (demo)|$PKI/libsofthsm2.dylib" > "$PKI/modules.txt"
cat "$PKI/modules.txt"

echo "== build: the host with the demo module table and trusted chain"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELL_BUILD_TESTS=OFF -DPLATFORM_TEST_HOOKS=OFF \
    -DVARNELL_MODULE_TABLE="$PKI/modules.txt" -DVARNELL_TRUSTED_CERTS="$PKI/trusted-certs.txt" >/dev/null
cmake --build "$BUILD"
HOST="$BUILD/VarnellHost.app/bin/VarnellHost"

# The token stays after the demo, for a browser to use (the commands printed at the end); each run
# makes it again.
work="$BUILD/token"
rm -rf "$work"

echo "== demo token: an RSA key and its certificate on a SoftHSM2 token, under the stored PIN"
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
    "$work" > "$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"
softhsm2-util --init-token --free --label "Demo token" --so-pin 12345678 --pin "$PIN" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 365 \
    -subj "/C=CN/O=Varnell Demo/CN=Demo Signer" -addext "keyUsage=critical,digitalSignature" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
# The key and its certificate share a CKA_ID: the container name and "#2" (signing), in ASCII.
ID=$(printf 'demo#2' | od -An -tx1 | tr -d ' \n')
softhsm2-util --import "$work/key.pem" --token "Demo token" --label demo --id "$ID" --pin "$PIN" >/dev/null
rm -f "$work/key.pem"  # the token holds the key now
pkcs11-tool --module "$SOFTHSM" --token-label "Demo token" --login --pin "$PIN" \
    --write-object "$work/cert.der" --type cert --id "$ID" --label demo >/dev/null
openssl x509 -in "$work/cert.pem" -noout -subject

echo "== one conversation with $HOST over a pipe"
# English descriptions; no window is needed: the token holds exactly one signing certificate.
LANG=C LC_ALL= LC_MESSAGES= python3 demo/converse.py "$HOST" "$work"

echo "== openssl checks the returned PKCS#7 SignedData"
openssl cms -verify -inform DER -in "$work/signature.der" -CAfile "$work/cert.pem" -purpose any \
    -out "$work/content.txt" 2>"$work/verify.txt" || { cat "$work/verify.txt"; exit 1; }
cmp -s "$work/content.txt" "$work/message.txt"
echo "signed content: \"$(cat "$work/content.txt")\""
openssl pkcs7 -inform DER -in "$work/signature.der" -print_certs -noout | sed -n 's/^subject=/signer: /p'
echo "signature verified"

# The example extension's ID follows from the public key in its manifest.
EXT="$ROOT/docs/example-extension/extension"
EXT_ID=$(python3 -c 'import base64, hashlib, json, sys
key = base64.b64decode(json.load(open(sys.argv[1]))["key"])
print(hashlib.sha256(key).hexdigest()[:32].translate(str.maketrans("0123456789abcdef", "abcdefghijklmnop")))' \
    "$EXT/manifest.json")
PROFILE="$BUILD/chromium"
SANDBOX=
[ "$(id -u)" -ne 0 ] || SANDBOX=" --no-sandbox"  # Chromium refuses to run as root with its sandbox
q() { printf '%q' "$1"; }
cat <<EOT

== to sign from a web page in Chromium with this host and token (README: "Try it in Chromium"):
   register the host for the example extension, in a browser profile of its own:
     bash scripts/install-host-manifest.sh $EXT_ID $(q "$HOST") $(q "$PROFILE/NativeMessagingHosts")
   serve the example page (in a second terminal):
     python3 -m http.server 8000 --bind 127.0.0.1 --directory $(q "$ROOT/docs/example-extension/page")
   start Chromium with the token's configuration, that profile and the example extension:
     SOFTHSM2_CONF=$(q "$SOFTHSM2_CONF") chromium$SANDBOX --user-data-dir=$(q "$PROFILE") --load-extension=$(q "$EXT") http://127.0.0.1:8000/
   check a signature copied from the page (paste it, then Return and Ctrl-D):
     base64 -d > sig.der
     openssl cms -verify -inform DER -in sig.der -CAfile $(q "$work/cert.pem") -purpose any
EOT

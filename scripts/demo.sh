#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: install, build the shipped configuration, and run
# what exists of the agent's main road against a throw-away SoftHSM2 token.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== logging self-check"
build/release/demo/qova_logcheck "$work"

echo "== throw-away token: an RSA key and its certificate on a SoftHSM2 token"
MODULE=/usr/lib/softhsm/libsofthsm2.so
PIN=40917263
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" > "$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"
softhsm2-util --init-token --free --label "Demo token" --so-pin 12345678 --pin "$PIN" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 365 \
  -subj "/C=CN/O=Varnell Demo/CN=Demo Signer" -addext "keyUsage=critical,digitalSignature" 2>/dev/null
openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
softhsm2-util --import "$work/key.pem" --token "Demo token" --label signer --id 64656d6f --pin "$PIN" >/dev/null
pkcs11-tool --module "$MODULE" --token-label "Demo token" --login --pin "$PIN" \
  --write-object "$work/cert.der" --type cert --id 64656d6f --label signer >/dev/null

echo "== road demo"
build/release/demo/varnell_road_demo "$MODULE" "$PIN"

#!/bin/sh
# make_seeds.sh: regenerates the committed seed corpora (run by hand; the seeds are small).
#   seeds/der      DER and BER made by the openssl tool, plus hand-made edge cases
#   seeds/base64   Base64 text in the line styles the system reads
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sh "$here/../../tests/SMKernel/make_der_samples.sh" "$work" 40 3

der="$here/seeds/der" b64="$here/seeds/base64"
rm -rf "$der" "$b64"
mkdir -p "$der" "$b64"
for f in ca crl p7 cms cms-ber; do cp "$work/$f.der" "$der/$f.der"; done
hex() { printf '%s' "$2" | xxd -r -p > "$der/$1"; }
hex indefinite.der    30800401aa0000
hex nested-inf.der    308030800201050000040000
hex prim-inf.der      0480aa00bb0000
hex long-form.der     3084000000080482000201023000
hex context-tags.der  300ca0030201018501ff9f020500
hex app-tag.der       41040500050000
# 126 indefinite SEQUENCEs around an empty one: 127 levels, the parser's limit. Its re-encoding
# must not grow a level (the empty one's end marker is no child of its copy).
hex deep-empty-inf.der "$(printf '3080%.0s' $(seq 126))30800000$(printf '0000%.0s' $(seq 126))"

openssl base64 -in "$work/ca.der" > "$b64/openssl-lines.txt"
base64 -w 76 "$work/ca.der" | sed 's/$/\r/' > "$b64/crlf-lines.txt"
base64 -w 0 "$work/crl.der" > "$b64/one-line.txt"
printf 'YWJj====' > "$b64/padding.txt"
printf 'YW\r\nJj YQ' > "$b64/breaks.txt"
printf 'YWJj\000YWJj' > "$b64/nul.txt"

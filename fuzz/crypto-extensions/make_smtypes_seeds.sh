#!/bin/sh
# make_smtypes_seeds.sh: regenerates seeds/sm_types (run by hand; the seeds are small). Each seed
# starts with the byte that picks the reader of SMContentTypesFuzz.cpp (00 PKCS#7, 01 PKCS#12).
# Structures signed or exported by the openssl command with a small P-256 key get the SM content
# types written over their stock ones; a few are made by hand.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds/sm_types"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/key.pem" 2>/dev/null
openssl req -new -x509 -key "$work/key.pem" -subj /CN=s -days 2 -out "$work/cert.pem" 2>/dev/null
printf 'abc' > "$work/data"
sign() { openssl cms -sign -binary -noattr -outform DER -signer "$work/cert.pem" -inkey "$work/key.pem" \
    -in "$work/data" "$@" 2>/dev/null; }
sign -nodetach -out "$work/attached.der"
sign -out "$work/detached.der"
openssl crl2pkcs7 -nocrl -certfile "$work/cert.pem" -outform DER -out "$work/bundle.der"
openssl pkcs12 -export -passout pass:secret -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/p12.der" \
    2>/dev/null

# retype.py SELECTOR IN OUT OUTER INNER: the ContentInfo's type (or, for a PFX, its authenticated
# safe's) and the signed content's type replaced; "-" keeps one.
cat > "$work/retype.py" <<'PY'
import sys

def tlv(b, i):
    tag = b[i]; n = b[i + 1]; i += 2
    if n & 0x80:
        k = n & 0x7F; n = int.from_bytes(b[i:i + k], 'big'); i += k
    return tag, b[i:i + n], i + n

def items(b):
    out, i = [], 0
    while i < len(b):
        tag, v, i = tlv(b, i); out.append([tag, v])
    return out

def enc(tag, v):
    n = len(v)
    if n < 0x80: head = bytes([tag, n])
    else:
        k = (n.bit_length() + 7) // 8; head = bytes([tag, 0x80 | k]) + n.to_bytes(k, 'big')
    return head + v

def join(xs): return b''.join(enc(t, v) for t, v in xs)

OIDS = {'smdata': bytes.fromhex('2a811ccf550601040201'), 'smsigned': bytes.fromhex('2a811ccf550601040202')}

def retype(ci, outer, inner):
    f = items(ci)
    if outer != '-': f[0] = [0x06, OIDS[outer]]
    if inner != '-':
        ex = items(f[1][1]); sd = items(ex[0][1]); encap = items(sd[2][1])
        encap[0] = [0x06, OIDS[inner]]; sd[2][1] = join(encap); ex[0][1] = join(sd); f[1][1] = join(ex)
    return join(f)

sel, src, dst, outer, inner = sys.argv[1:]
top = items(open(src, 'rb').read())
if sel == '01':
    pfx = items(top[0][1]); pfx[1][1] = retype(pfx[1][1], outer, inner); top[0][1] = join(pfx)
else:
    top[0][1] = retype(top[0][1], outer, inner)
open(dst, 'wb').write(bytes.fromhex(sel) + join(top))
PY
retype() { python3 "$work/retype.py" "$1" "$work/$2" "$out/$3" "$4" "$5"; }
retype 00 attached.der signed-attached    smsigned smdata
retype 00 attached.der signed-outer-only  smsigned -
retype 00 detached.der signed-detached    smsigned smdata
retype 00 attached.der stock-attached     -        -
retype 00 bundle.der   bundle             smsigned smdata
retype 01 p12.der      pfx                smdata   -

# Hand-made shapes around a minimal SignedData { 1, {}, SM data "abc", {} }.
cat > "$work/handmade.py" <<'PY'
import sys
exec(open(sys.argv[1]).read().split("sel, src")[0])
smdata, smsigned = [0x06, OIDS['smdata']], [0x06, OIDS['smsigned']]
octets = enc(0x04, b'abc')
def ci(oid, content=None): return enc(0x30, join([oid] + ([[0xA0, content]] if content is not None else [])))
signed = enc(0x30, enc(0x02, b'\x01') + enc(0x31, b'') + ci(smdata, octets) + enc(0x31, b''))
seeds = {
    'signed-minimal': (0, ci(smsigned, signed)),
    'signed-octets': (0, ci(smsigned, octets)),
    'signed-absent': (0, ci(smsigned)),
    'data-octets': (0, ci(smdata, octets)),
    'data-sequence': (0, ci(smdata, enc(0x30, enc(0x01, b'\xff')))),
    # PFX { 3, SM data { AuthenticatedSafe { SM data { SafeContents {} } } } }
    'pfx-minimal': (1, enc(0x30, enc(0x02, b'\x03') +
                              ci(smdata, enc(0x04, enc(0x30, ci(smdata, enc(0x04, enc(0x30, b'')))))))),
}
for name, (sel, der) in seeds.items():
    open(sys.argv[2] + '/' + name, 'wb').write(bytes([sel]) + der)
PY
python3 "$work/handmade.py" "$work/retype.py" "$out"

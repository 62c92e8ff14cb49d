#!/bin/sh
# make_seeds.sh: regenerates seeds/sm2_der (run by hand; the seeds are small). Each seed starts with
# the byte that picks the decoder of SM2DerFuzz.cpp.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds/sm2_der"
rm -rf "$out"
mkdir -p "$out"
seed() { printf '%s%s' "$2" "$3" | xxd -r -p > "$out/$1"; }
gx=32c4ae2c1f1981195f9904466a39c9948fe30bbff2660be1715a4589334c74c7
gy=bc3736a2f4f6779c59bdcee36b692153d0a9877cc62a474002df32e52139f0a0
sm2=06082a811ccf5501822d
seed attribute-set      00 301406092a864886f70d010907310713057365637265
seed attribute-single   00 301306092a864886f70d0109071306736563726574
seed attribute-octets   00 301306092a864886f70d0109070406736563726574
seed privkey-full       01 3058020101020101a00a${sm2}a14403420004${gx}${gy}
seed privkey-empty-bits 01 3017020101020101a00a${sm2}a103030100
seed privkey-bare       01 3006020101020101
seed autokey            02 3058020101020101a00a${sm2}a14403420004${gx}${gy}
# SEQUENCE { x1 = Gx, y1 = Gy, C3, C2 = "abc" }: a well-formed SM2Cipher that does not decrypt.
cipher=306c0220${gx}022100${gy}0420$(printf '%064d' 0)0403616263
seed cipher             03 $cipher
smdata=060a2a811ccf550601040201
sm4=06072a811ccf550168
seed pfx                04 302e0201013018${smdata}${sm4}04016b300f${smdata}040163
seed enveloped          05 3081813009${sm4}${cipher}0302000403020005
seed pubkey-double      06 3009020101040401020304

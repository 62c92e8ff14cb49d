#!/bin/sh
# make_seeds.sh: regenerates seeds/ (run by hand; the seeds are small): one request of each kind,
# with the parameter forms the dispatcher reads, and a few broken ones.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/seeds"
rm -rf "$out"
mkdir -p "$out"
seed() { printf '%s' "$2" > "$out/$1"; }
seed getversion      '{"function":"GetVersion","params":[]}'
seed getversion-case '{"FUNCTION":"getversion","Params":null,"randomId":"9"}'
seed select          '{"function":"SelectCertificate","params":["CN=Alice#Bob","","1A2B",""],"randomId":"17"}'
seed select-objects  '{"function":"SelectCertificate","params":{"a":{"param":"x"},"b":"","c":"","d":[1]}}'
seed certinfo        '{"function":"GetSignCertInfo","params":["SubjectDN"]}'
seed sign            '{"function":"SignMsgPKCS7","params":["message \u00e9\r\n","SHA-256",true]}'
seed sign-wrapped    '{"function":"SignMsgPKCS7","params":[{"param":"m"},{"param":"SM3"},{"param":false}]}'
seed lasterror       '{"function":"GetLastErrorDesc","params":[]}'
seed unknown         '{"function":"Nope\"x","params":[],"randomId":"a\\b"}'
seed deep            '{"function":"GetVersion","params":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}'
seed nul-message     '{"function":"SignMsgPKCS7","params":["a\u0000b","SHA-256",true]}'
seed nul-escaped     '{"function":"SignMsgPKCS7","params":["a\\u0000b","SHA-256",true]}'
seed nul-function    '{"function":"GetVersion\u0000junk","params":[],"randomId":"1"}'
seed hex-not-digits  '{"function":"SignMsgPKCS7","params":["a\uzzzzb","SHA-256",true],"randomId":"a\u00\"x"}'
seed nul-name        '{"function":"SelectCertificate","params":[{"param\u0000":"CN=a"},"","",""]}'
seed bad-utf8        "$(printf '{"function":"\303(\355\240\200","params":[],"randomId":"\361\200\200\341\200"}')"
seed broken          '{"function":"GetVersion","params":[1,2'

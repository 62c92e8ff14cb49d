// ASN.1 times as compact digit strings, beside the library's own time printers: as stored
// (the _print_gz forms: "YYYYMMDDhhmmss" followed by "Z" when the value ends in "Z") or converted from
// UTC to the machine's local time (the _print_sys forms: "YYYYMMDDhhmmss", no zone letter).
//
// A UTCTime needs at least 10 characters and a GeneralizedTime at least 12, all digits, with a month
// from 1 to 12; seconds follow when both their digits are there, else they count as 0. A two-digit
// year below 50 is 20yy, otherwise 19yy. Invalid input writes "Bad time value".
//
// Each returns 1 when the text was written and 0 otherwise. The local forms write nothing and return 0
// when the local date falls outside the years 1900 to 9999.
#ifndef VARNELL_CRYPTOEXT_ASN1_TIME_PRINT_H
#define VARNELL_CRYPTOEXT_ASN1_TIME_PRINT_H

#include <openssl/asn1.h>
#include <openssl/bio.h>

// Dispatch on the value's type (UTCTime or GeneralizedTime); any other type is a bad time value.
int ASN1_TIME_print_gz(BIO* bp, const ASN1_TIME* tm);
int ASN1_TIME_print_sys(BIO* bp, const ASN1_TIME* tm);

int ASN1_UTCTIME_print_gz(BIO* bp, const ASN1_UTCTIME* tm);
int ASN1_GENERALIZEDTIME_print_gz(BIO* bp, const ASN1_GENERALIZEDTIME* tm);
int ASN1_UTCTIME_print_sys(BIO* bp, const ASN1_UTCTIME* tm);
int ASN1_GENERALIZEDTIME_print_sys(BIO* bp, const ASN1_GENERALIZEDTIME* tm);

#endif

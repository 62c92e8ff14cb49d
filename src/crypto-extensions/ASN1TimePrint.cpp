// Compact and local-time printing of ASN.1 times.
#include "ASN1TimePrint.h"

#include <ctime>

namespace {

const char kBadTimeValue[] = "Bad time value";

struct TimeFields
{
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool zulu = false;
};

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// The value comes from outside (a certificate, a CRL): every character read lies inside its length.
bool ParseTime(const ASN1_STRING* tm, bool generalized, TimeFields* f)
{
    if (tm == nullptr)
        return false;
    const unsigned char* v = ASN1_STRING_get0_data(tm);
    const int length = ASN1_STRING_length(tm);
    const int digits = generalized ? 12 : 10;  // through the minutes
    if (v == nullptr || length < digits)
        return false;
    for (int i = 0; i < digits; ++i) {
        if (!IsDigit(v[i]))
            return false;
    }
    auto two = [v](int i) { return (v[i] - '0') * 10 + (v[i + 1] - '0'); };
    int pos = 0;
    if (generalized) {
        f->year = two(0) * 100 + two(2);
        pos = 4;
    } else {
        const int yy = two(0);
        f->year = yy < 50 ? 2000 + yy : 1900 + yy;
        pos = 2;
    }
    f->month = two(pos);
    if (f->month < 1 || f->month > 12)
        return false;
    f->day = two(pos + 2);
    f->hour = two(pos + 4);
    f->minute = two(pos + 6);
    f->second = length >= digits + 2 && IsDigit(v[digits]) && IsDigit(v[digits + 1]) ? two(digits) : 0;
    f->zulu = v[length - 1] == 'Z';
    return true;
}

int WriteBadTimeValue(BIO* bp)
{
    BIO_write(bp, kBadTimeValue, sizeof(kBadTimeValue) - 1);
    return 0;
}

int PrintAsStored(BIO* bp, const ASN1_STRING* tm, bool generalized)
{
    if (bp == nullptr)
        return 0;
    TimeFields f;
    if (!ParseTime(tm, generalized, &f))
        return WriteBadTimeValue(bp);
    return BIO_printf(bp, "%d%02d%02d%02d%02d%02d%s", f.year, f.month, f.day, f.hour, f.minute, f.second,
                      f.zulu ? "Z" : "") > 0
               ? 1
               : 0;
}

// The value is read as UTC. The local offset is the one in force at that instant, not today's: a zone
// with summer time has two.
int PrintAsLocal(BIO* bp, const ASN1_STRING* tm, bool generalized)
{
    if (bp == nullptr)
        return 0;
    TimeFields f;
    if (!ParseTime(tm, generalized, &f))
        return WriteBadTimeValue(bp);
    struct tm utc = {};
    utc.tm_year = f.year - 1900;
    utc.tm_mon = f.month - 1;
    utc.tm_mday = f.day;
    utc.tm_hour = f.hour;
    utc.tm_min = f.minute;
    utc.tm_sec = f.second;
    const time_t instant = timegm(&utc);  // also carries out-of-range days and hours over
    struct tm local = {};
    if (localtime_r(&instant, &local) == nullptr)
        return 0;
    const int year = local.tm_year + 1900;
    if (year < 1900 || year > 9999)
        return 0;
    return BIO_printf(bp, "%d%02d%02d%02d%02d%02d", year, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec) > 0
               ? 1
               : 0;
}

int Dispatch(BIO* bp, const ASN1_TIME* tm, int (*print)(BIO*, const ASN1_STRING*, bool))
{
    if (bp == nullptr)
        return 0;
    const int type = tm != nullptr ? ASN1_STRING_type(tm) : V_ASN1_UNDEF;
    if (type == V_ASN1_GENERALIZEDTIME)
        return print(bp, tm, true);
    if (type == V_ASN1_UTCTIME)
        return print(bp, tm, false);
    return WriteBadTimeValue(bp);
}

}  // namespace

int ASN1_TIME_print_gz(BIO* bp, const ASN1_TIME* tm)
{
    return Dispatch(bp, tm, PrintAsStored);
}

int ASN1_TIME_print_sys(BIO* bp, const ASN1_TIME* tm)
{
    return Dispatch(bp, tm, PrintAsLocal);
}

int ASN1_UTCTIME_print_gz(BIO* bp, const ASN1_UTCTIME* tm)
{
    return PrintAsStored(bp, tm, false);
}

int ASN1_GENERALIZEDTIME_print_gz(BIO* bp, const ASN1_GENERALIZEDTIME* tm)
{
    return PrintAsStored(bp, tm, true);
}

int ASN1_UTCTIME_print_sys(BIO* bp, const ASN1_UTCTIME* tm)
{
    return PrintAsLocal(bp, tm, false);
}

int ASN1_GENERALIZEDTIME_print_sys(BIO* bp, const ASN1_GENERALIZEDTIME* tm)
{
    return PrintAsLocal(bp, tm, true);
}

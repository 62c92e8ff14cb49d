// Compact and local-time printing of ASN.1 times: the year window, the input checks, short values,
// and the local forms in a +8 hour zone, a zone west of Greenwich and a zone with summer time.
#include "ASN1TimePrint.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

using Printer = int (*)(BIO*, const ASN1_STRING*);

struct Case
{
    const char* name;
    Printer print;
    int type;
    const char* value;
    const char* tz;
    int rc;
    const char* out;
};

// Each value's data is exactly its characters, without the terminator the library usually adds, so
// that the address sanitizer catches a read past the end.
void RunCases(const Case* cases, size_t count)
{
    const char* saved = getenv("TZ");
    const std::string savedTz = saved != nullptr ? saved : "";
    for (const Case* c = cases; c != cases + count; ++c) {
        SCOPED_TRACE(c->name);
        setenv("TZ", c->tz, 1);
        tzset();
        ASN1_STRING* value = ASN1_STRING_type_new(c->type);
        const size_t len = strlen(c->value);
        void* data = OPENSSL_malloc(len == 0 ? 1 : len);
        memcpy(data, c->value, len);
        ASN1_STRING_set0(value, data, static_cast<int>(len));
        BIO* bio = BIO_new(BIO_s_mem());
        EXPECT_EQ(c->rc, c->print(bio, c->type != V_ASN1_NULL ? value : nullptr));
        char* text = nullptr;
        EXPECT_EQ(c->out, std::string(text, static_cast<size_t>(BIO_get_mem_data(bio, &text))));
        BIO_free(bio);
        ASN1_STRING_free(value);
    }
    if (saved != nullptr)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

const int kUtc = V_ASN1_UTCTIME, kGen = V_ASN1_GENERALIZEDTIME;
const char* const kBad = "Bad time value";

TEST(ASN1TimePrint, CompactFormsAsStored)
{
    const Case kCases[] = {
        {"UTCTime", ASN1_UTCTIME_print_gz, kUtc, "130211120000Z", "UTC0", 1, "20130211120000Z"},
        {"last year of the window", ASN1_UTCTIME_print_gz, kUtc, "491231235959Z", "UTC0", 1, "20491231235959Z"},
        {"first year of the window", ASN1_UTCTIME_print_gz, kUtc, "500101000000Z", "UTC0", 1, "19500101000000Z"},
        {"month 13", ASN1_UTCTIME_print_gz, kUtc, "131311120000Z", "UTC0", 0, kBad},
        {"non-digit in the first ten", ASN1_UTCTIME_print_gz, kUtc, "1302111x00Z", "UTC0", 0, kBad},
        {"seconds not digits", ASN1_UTCTIME_print_gz, kUtc, "1302111200+0800", "UTC0", 1, "20130211120000"},
        {"GeneralizedTime", ASN1_GENERALIZEDTIME_print_gz, kGen, "20130211120059Z", "UTC0", 1, "20130211120059Z"},
        {"GeneralizedTime without seconds", ASN1_GENERALIZEDTIME_print_gz, kGen, "201302111200Z", "UTC0", 1,
         "20130211120000Z"},
        {"dispatch other type", ASN1_TIME_print_gz, V_ASN1_OCTET_STRING, "130211120000Z", "UTC0", 0, kBad},
        {"no value", ASN1_TIME_print_gz, V_ASN1_NULL, "", "UTC0", 0, kBad},
    };
    RunCases(kCases, sizeof(kCases) / sizeof(kCases[0]));
}

// The length is tested before the seconds and the last character are read: a value just long enough
// for the minutes has neither, and nothing past its end may be touched.
TEST(ASN1TimePrint, ShortValuesAreNotReadPastTheirEnd)
{
    const Case kCases[] = {
        {"UTCTime of 10 characters", ASN1_UTCTIME_print_gz, kUtc, "1302111200", "UTC0", 1, "20130211120000"},
        {"UTCTime with one seconds digit", ASN1_UTCTIME_print_gz, kUtc, "13021112005", "UTC0", 1, "20130211120000"},
        {"UTCTime of 9 characters", ASN1_UTCTIME_print_gz, kUtc, "130211120", "UTC0", 0, kBad},
        {"empty UTCTime", ASN1_UTCTIME_print_sys, kUtc, "", "UTC0", 0, kBad},
        {"GeneralizedTime of 12 characters", ASN1_GENERALIZEDTIME_print_gz, kGen, "201302111200", "UTC0", 1,
         "20130211120000"},
        {"GeneralizedTime with one seconds digit", ASN1_GENERALIZEDTIME_print_sys, kGen, "2013021112005", "UTC0", 1,
         "20130211120000"},
        {"GeneralizedTime of 11 characters", ASN1_GENERALIZEDTIME_print_gz, kGen, "20130211120", "UTC0", 0, kBad},
    };
    RunCases(kCases, sizeof(kCases) / sizeof(kCases[0]));
}

// The local offset is the one in force at the printed instant (not a clock call's zone, which is 0
// here): in a zone with summer time, July and January convert with different offsets.
TEST(ASN1TimePrint, LocalFormsUseTheOffsetOfThePrintedInstant)
{
    const Case kCases[] = {
        {"+8: next month", ASN1_UTCTIME_print_sys, kUtc, "130131200000Z", "CST-8", 1, "20130201040000"},
        {"+8: next year", ASN1_UTCTIME_print_sys, kUtc, "131231200000Z", "CST-8", 1, "20140101040000"},
        {"+8: onto a leap day", ASN1_GENERALIZEDTIME_print_sys, kGen, "20120228200000Z", "CST-8", 1, "20120229040000"},
        {"+8: over a common February", ASN1_TIME_print_sys, kGen, "20130228200000Z", "CST-8", 1, "20130301040000"},
        {"+8: without seconds", ASN1_TIME_print_sys, kGen, "201302111200Z", "CST-8", 1, "20130211200000"},
        {"+8: first local year", ASN1_GENERALIZEDTIME_print_sys, kGen, "18991231160000Z", "CST-8", 1, "19000101000000"},
        {"+8: before 1900, nothing written", ASN1_GENERALIZEDTIME_print_sys, kGen, "18991231150000Z", "CST-8", 0, ""},
        {"+8: after 9999, nothing written", ASN1_GENERALIZEDTIME_print_sys, kGen, "99991231160000Z", "CST-8", 0, ""},
        {"+8: other type", ASN1_TIME_print_sys, V_ASN1_OCTET_STRING, "130211120000Z", "CST-8", 0, kBad},
        {"-5: previous year", ASN1_UTCTIME_print_sys, kUtc, "130101030000Z", "EST5", 1, "20121231220000"},
        {"summer time", ASN1_GENERALIZEDTIME_print_sys, kGen, "20130701120000Z", "CET-1CEST,M3.5.0,M10.5.0/3", 1,
         "20130701140000"},
        {"winter time", ASN1_UTCTIME_print_sys, kUtc, "130115120000Z", "CET-1CEST,M3.5.0,M10.5.0/3", 1,
         "20130115130000"},
    };
    RunCases(kCases, sizeof(kCases) / sizeof(kCases[0]));
}

}  // namespace

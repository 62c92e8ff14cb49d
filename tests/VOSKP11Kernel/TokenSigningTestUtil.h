// Helpers of the token signing tests: certificate records as selection leaves them (session open,
// not logged in) on SoftHSM2 and on the test module, the session's state as the token reports it,
// and the openssl command as the independent reference.
#ifndef VARNELL_TOKENSVC_TOKEN_SIGNING_TEST_UTIL_H
#define VARNELL_TOKENSVC_TOKEN_SIGNING_TEST_UTIL_H

#include "DataSigning.h"
#include "P11KernelTestUtil.h"
#include "VOSKP11Kernel.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstdio>
#include <memory>
#include <string>

namespace signtest {

using p11test::EntryPtr;
using p11testbed::FixtureFile;

// The record of the token certificate with this CKA_ID, built as selection builds it.
inline CertInfoPtr RecordFor(DylibInfo* entry, const std::string& id)
{
    p11test::RecordSet found;
    EXPECT_EQ(QOVA_OK, GetAllCertDataFromDevices(entry, found.records));
    for (_CERTIFICATE_DATA* data : found.records) {
        _CERTIFICATE_INFO* info = nullptr;
        if (id == data->pszCkID &&
            QOVA_OK == ConstructCertificateInfo(entry->pszCSPName, entry->pszDylibPath, data, &info))
            return CertInfoPtr(info);
    }
    return CertInfoPtr();
}

// The RSA record "cont1#2" (rsa1) of SoftHSM2's token tokA, in a private token copy.
struct SoftHsmRecord
{
    SoftHsmRecord() : entry(p11test::NewEntry(p11testbed::SoftHsmModulePath(), "SoftHSM"))
    {
        if (tokens.Ready() && QOVA_OK == LoadP11Dylib(entry.get()))
            record = RecordFor(entry.get(), "cont1#2");
    }
    bool Ready() const { return nullptr != record; }
    p11testbed::SoftHsmTokens tokens;
    EntryPtr entry;
    CertInfoPtr record;  // released before the module entry
};

// The SM2 record "k" (sm2.key, sm2.der) of the test module's token "t", PIN 1234, with the
// fixture lines in extra; the call log starts after the record was built.
struct Sm2Record
{
    explicit Sm2Record(const std::string& extra = "")
        : loaded(p11test::kSm2Token + "cert k l " + FixtureFile("sm2.der") + "\n" + extra),
          record(RecordFor(loaded.entry.get(), "k"))
    {
        loaded.module.ClearLog();
    }
    p11test::Loaded loaded;
    CertInfoPtr record;
};

inline const std::string kSm2Pin = "1234";

inline unsigned char* Pin(const std::string& pin)
{
    return p11test::PinBytes(pin);
}

// Whether the record's session is still open and no longer logged in, as the token reports it.
inline ::testing::AssertionResult OpenAndLoggedOut(const _CERTIFICATE_INFO* info)
{
    const SessionCtx* ctx = info->pCertData->pstSessionCtx;
    CK_SESSION_INFO session{};
    const CK_RV rv = ctx->pDylibInfo->pCkFunctionList->C_GetSessionInfo(ctx->hSession, &session);
    if (CKR_OK != rv)
        return ::testing::AssertionFailure() << "the session is gone: C_GetSessionInfo " << rv;
    if (CKS_RW_PUBLIC_SESSION != session.state || 0 != ctx->nSessionType)
        return ::testing::AssertionFailure() << "still logged in: state " << session.state;
    return ::testing::AssertionSuccess();
}

// A new[] result, freed at scope end.
template <class T>
struct Out
{
    T* data = nullptr;
    int size = 0;
    ~Out() { delete[] data; }
    std::string Str() const
    {
        return nullptr == data ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
    }
};

// A text result (new[]), freed at scope end.
struct Text
{
    char* text = nullptr;
    ~Text() { delete[] text; }
    std::string Str() const { return nullptr == text ? std::string() : std::string(text); }
};

struct FileClose
{
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

inline FilePtr OpenRead(const std::string& path)
{
    return FilePtr(fopen(path.c_str(), "rb"));
}

// Message bytes of every value (CR, LF and NUL among them).
inline std::string Message(size_t size)
{
    std::string message(size, '\0');
    for (size_t i = 0; i < size; ++i)
        message[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return message;
}

// One line of Base64 decoded by the openssl command into the file `path`.
inline bool DecodeBase64To(const testutil::ScopedTempDir& dir, const std::string& base64, const std::string& path)
{
    return testutil::WriteFile(dir.File("b64"), base64) &&
           p11test::Openssl("base64 -d -A -in " + dir.File("b64") + " -out " + path);
}

// DER SEQUENCE{r, s} of a raw 64-byte r||s, made by the crypto library.
inline std::string DerOfRawSm2(const std::string& rs)
{
    if (64 != rs.size())
        return std::string();
    const auto* bytes = reinterpret_cast<const unsigned char*>(rs.data());
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(bytes, 32, nullptr), BN_bin2bn(bytes + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int size = i2d_ECDSA_SIG(sig, &der);
    std::string out = size > 0 ? std::string(reinterpret_cast<char*>(der), size) : std::string();
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

// The openssl command's check of an SM2 signature (DER) over a message, with Z of the default user ID.
inline bool Sm2VerifiesOverMessage(const testutil::ScopedTempDir& dir, const std::string& derSignature,
                                   const std::string& messagePath)
{
    return testutil::WriteFile(dir.File("sm2sig"), derSignature) &&
           p11test::Openssl("dgst -sm3 -verify " + FixtureFile("sm2pub.pem") +
                            " -sigopt distid:1234567812345678 -signature " + dir.File("sm2sig") + " " + messagePath);
}

// The same over a 32-byte hash taken as the value signed.
inline bool Sm2VerifiesOverHash(const testutil::ScopedTempDir& dir, const std::string& derSignature,
                                const std::string& hash)
{
    return testutil::WriteFile(dir.File("sm2sig"), derSignature) && testutil::WriteFile(dir.File("sm2hash"), hash) &&
           p11test::Openssl("pkeyutl -verify -pubin -inkey " + FixtureFile("sm2pub.pem") + " -sigfile " +
                            dir.File("sm2sig") + " -in " + dir.File("sm2hash"));
}

// Every test runs between a kernel initialisation and its release, as the host runs.
class KernelScope : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(InitVOSKP11Kernel()); }
    void TearDown() override { UninitVOSKP11Kernel(); }
};

}  // namespace signtest

#endif

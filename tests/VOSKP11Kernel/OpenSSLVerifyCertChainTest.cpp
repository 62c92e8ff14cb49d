#include "OpenSSLVerifyCertChain.h"

#include "KernelHolders.h"
#include "ModuleSigning.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using modsig::Chain;
using modsig::Fixture;
using smkernel::X509Ptr;

X509Ptr ReadPem(const std::string& name)
{
    X509Ptr cert;
    FILE* fp = fopen(Fixture(name + ".pem").c_str(), "rb");
    if (fp) {
        cert.reset(PEM_read_X509(fp, nullptr, nullptr, nullptr));
        fclose(fp);
    }
    EXPECT_TRUE(cert) << name;
    return cert;
}

// The signer must chain to the trusted texts; validity periods play no part, and an entry that
// does not decode is skipped while the others still anchor the chain.
TEST(ChainCheck, SignerChainsToTrustedTextsRegardlessOfTime)
{
    const std::vector<std::string> trusted = modsig::TrustedTexts();
    ASSERT_EQ(2u, trusted.size());
    const std::string inter = trusted[0], root = trusted[1];
    struct Case { const char* signer; std::vector<std::string> chain; unsigned int code; };
    const Case kCases[] = {
        {"signer", {inter, root}, QOVA_OK},
        {"expired", {inter, root}, QOVA_OK},
        {"othersigner", {inter, root}, QOVA_E_FAIL},
        {"rootsigner", {"!!! not Base64 !!!", root}, QOVA_OK},
        {"signer", {"QUJD", inter, "", root}, QOVA_OK},  // Base64, but no certificate; empty text
        {"signer", {inter}, QOVA_E_FAIL},                 // no root: a partial chain is not enough
        {"signer", {root}, QOVA_E_FAIL},
        {"signer", {}, QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.signer) + " under " + std::to_string(c.chain.size()) + " texts");
        X509Ptr signer = ReadPem(c.signer);
        Chain chain(c.chain);
        EXPECT_EQ(c.code, VerifyCertChainWithoutTime(signer.get(), chain.Get(), chain.Count()));
    }
    Chain chain({inter, root});
    EXPECT_EQ(QOVA_E_INVALIDARG, VerifyCertChainWithoutTime(nullptr, chain.Get(), chain.Count()));
    // The expired signer is refused where time counts (openssl in its own process).
    EXPECT_NE(0, testutil::RunCommand("openssl verify -CAfile " + Fixture("root.pem") + " -untrusted " +
                                      Fixture("inter.pem") + " " + Fixture("expired.pem") + " >/dev/null 2>&1"));
}

int AcceptAll(int, X509_STORE_CTX*)
{
    return 1;
}

int VerifyAlwaysGood(X509_STORE_CTX*)
{
    return 1;
}

// X509_verify_cert_ex over contexts the caller prepared: the time switch, signatures still
// checked, an installed verification function ignored, the caller's callback still in charge.
TEST(ChainCheck, VerifyCertExSwitchesOnlyTheTimeTest)
{
    X509Ptr root = ReadPem("root"), inter = ReadPem("inter"), expired = ReadPem("expired"), other = ReadPem("othersigner");
    // The expired leaf with one signature byte flipped.
    X509Ptr forged(X509_dup(expired.get()));
    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, forged.get());
    const_cast<unsigned char*>(ASN1_STRING_get0_data(signature))[10] ^= 1;

    struct Case { const char* name; X509* leaf; bool checkTime; bool customVerify; bool acceptAll; int result; int error; };
    const Case kCases[] = {
        {"expired, time checked", expired.get(), true, false, false, 0, X509_V_ERR_CERT_HAS_EXPIRED},
        {"expired, time off", expired.get(), false, false, false, 1, X509_V_OK},
        {"bad signature, time off", forged.get(), false, false, false, 0, X509_V_ERR_CERT_SIGNATURE_FAILURE},
        {"bad signature, store verify", forged.get(), false, true, false, 0, X509_V_ERR_CERT_SIGNATURE_FAILURE},
        {"untrusted, callback accepts", other.get(), false, false, true, 1, X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        smkernel::X509StorePtr store(X509_STORE_new());
        X509_STORE_add_cert(store.get(), root.get());
        X509_STORE_add_cert(store.get(), inter.get());
        if (c.customVerify) X509_STORE_set_verify(store.get(), VerifyAlwaysGood);
        smkernel::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
        ASSERT_EQ(1, X509_STORE_CTX_init(ctx.get(), store.get(), c.leaf, nullptr));
        if (c.acceptAll) X509_STORE_CTX_set_verify_cb(ctx.get(), AcceptAll);
        EXPECT_EQ(c.result, X509_verify_cert_ex(ctx.get(), c.checkTime));
        EXPECT_EQ(c.error, X509_STORE_CTX_get_error(ctx.get()));
        if (c.acceptAll) {
            EXPECT_EQ(&AcceptAll, X509_STORE_CTX_get_verify_cb(ctx.get()));
        }
    }
    smkernel::X509StorePtr store(X509_STORE_new());
    smkernel::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    ASSERT_EQ(1, X509_STORE_CTX_init(ctx.get(), store.get(), nullptr, nullptr));
    EXPECT_EQ(-1, X509_verify_cert_ex(ctx.get(), false));  // no certificate, as X509_verify_cert
    EXPECT_EQ(-1, X509_verify_cert_ex(nullptr, false));
    ERR_clear_error();
}

}  // namespace

// The software kernel's chain checks on SM2: a CA and a leaf made by the openssl command with SM3 and
// the default user ID pass (their signatures are over Z || TBS, which our key method hashes in item
// verification), a leaf signed here by SM_X509_sign passes, and a changed signature fails.
#include "CertificateValidation.h"
#include "KernelHolders.h"
#include "SM2KeyMethod.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using smkernel::EvpPkeyPtr;
using smkernel::X509Ptr;
using testutil::RunCommand;
using testutil::ShellQuote;

X509Ptr ReadCert(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "r");
    X509Ptr cert(f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr);
    if (f != nullptr)
        fclose(f);
    return cert;
}

std::vector<unsigned char> Der(X509* cert)
{
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert, &der);
    std::vector<unsigned char> out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

// VerifyCertChain with the CA file as the trust store.
unsigned int ChainCode(const std::string& caFile, X509* leaf)
{
    FILE* ca = fopen(caFile.c_str(), "r");
    const unsigned int code = ca != nullptr ? VerifyCertChain({ca}, leaf) : 0xFFFFFFFFu;
    if (ca != nullptr)
        fclose(ca);
    return code;
}

TEST(SM2ChainValidation, ChainsWithTheDefaultIdPassAndAChangedSignatureFails)
{
    ASSERT_EQ(1, SM_crypto_init());
    testutil::ScopedTempDir dir;
    const std::string caKey = dir.File("ca.key"), caCrt = dir.File("ca.crt"), leafKey = dir.File("leaf.key"),
                      csr = dir.File("leaf.csr"), leafCrt = dir.File("leaf.crt");
    const std::string distId = " -sm3 -sigopt distid:1234567812345678 ";
    for (const std::string& command :
         {"openssl genpkey -algorithm SM2 -out " + ShellQuote(caKey),
          "openssl genpkey -algorithm SM2 -out " + ShellQuote(leafKey),
          "openssl req -x509 -new -key " + ShellQuote(caKey) + distId + "-subj /CN=SM2-CA -days 2 -out " +
              ShellQuote(caCrt),
          "openssl req -new -key " + ShellQuote(leafKey) + distId + "-subj /CN=SM2-leaf -out " + ShellQuote(csr),
          "openssl x509 -req -in " + ShellQuote(csr) + " -CA " + ShellQuote(caCrt) + " -CAkey " + ShellQuote(caKey) +
              distId + "-vfyopt distid:1234567812345678 -set_serial 9 -days 2 -out " + ShellQuote(leafCrt)}) {
        std::string out;
        ASSERT_EQ(0, RunCommand(command + " 2>&1", &out)) << command << "\n" << out;
    }
    X509Ptr leaf = ReadCert(leafCrt);
    ASSERT_TRUE(leaf);
    EXPECT_EQ(QOVA_OK, ChainCode(caCrt, leaf.get()));
    std::vector<unsigned char> der = Der(leaf.get());
    FILE* ca = fopen(caCrt.c_str(), "r");
    EXPECT_EQ(QOVA_OK, VerifyCertificate(der.data(), static_cast<int>(der.size()), CERT_VERIFY_TIME | CERT_VERIFY_CHAIN,
                                         nullptr, {ca}));
    fclose(ca);

    // A leaf issued here with the CA's key from its file.
    FILE* keyFile = fopen(caKey.c_str(), "r");
    ASSERT_NE(nullptr, keyFile);
    EvpPkeyPtr caPkey(PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr));
    fclose(keyFile);
    X509Ptr issuer = ReadCert(caCrt);
    X509Ptr ours(X509_dup(leaf.get()));
    ASSERT_TRUE(caPkey && issuer && ours);
    ASSERT_EQ(1, X509_set_issuer_name(ours.get(), X509_get_subject_name(issuer.get())));
    ASSERT_GT(SM_X509_sign(ours.get(), caPkey.get(), EVP_get_digestbyname("sm3")), 0);
    EXPECT_EQ(QOVA_OK, ChainCode(caCrt, ours.get()));

    // The last DER byte of a certificate is the last byte of its signature.
    der.back() ^= 0x01;
    const unsigned char* p = der.data();
    X509Ptr changed(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(changed);
    EXPECT_EQ(QOVA_E_CERT_CHAIN, ChainCode(caCrt, changed.get()));
}

}  // namespace

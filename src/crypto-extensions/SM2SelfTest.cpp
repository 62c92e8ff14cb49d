// Start-up check that SM2 item signing hashes the Z value.
//
// Our key method can only tell item signing from other signing by a flag the library sets on its
// digest contexts and keeps internal. Should a library update stop setting it, SM2 certificates
// would silently be signed and verified without Z, and no certificate from anywhere else would
// verify. Start-up signs and verifies a throw-away certificate and checks what digest reaches the
// key method each time.
#include "CryptoExtHolders.h"
#include "SM2Core.h"
#include "SM2KeyDetail.h"
#include "SM2KeyMethod.h"
#include "SM3Digest.h"
#include "SMRegistry.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace smdetail;

X509Ptr ThrowAwayCertificate(EVP_PKEY* pkey)
{
    X509Ptr cert(X509_new());
    X509_NAME* name = cert ? X509_get_subject_name(cert.get()) : nullptr;
    if (name == nullptr || !X509_set_version(cert.get(), X509_VERSION_3) ||
        !ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) ||
        !X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>("SM2 item signing self-test"), -1, -1, 0) ||
        !X509_set_issuer_name(cert.get(), name) || !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60) || !X509_set_pubkey(cert.get(), pkey))
        return nullptr;
    return cert;
}

// A fixed throw-away key: the probe needs no private key work, and a generated key would cost a
// scalar multiplication and the random generator's set-up at every start.
constexpr unsigned char kPublicX[] = {0xfb, 0xd8, 0x3d, 0x90, 0xff, 0xf3, 0xe5, 0xea, 0xe2, 0xda, 0x10,
                                      0x0e, 0x2e, 0xfc, 0x5c, 0x21, 0xa7, 0xef, 0x4a, 0xe5, 0x06, 0x15,
                                      0x86, 0xe7, 0xb7, 0x15, 0x52, 0x02, 0x71, 0x3e, 0x8c, 0xd6};
constexpr unsigned char kPublicY[] = {0x68, 0xf7, 0xb6, 0x61, 0xf0, 0x63, 0x50, 0x21, 0x1f, 0xe0, 0xf3,
                                      0xf4, 0x57, 0x4a, 0xff, 0xbc, 0x5b, 0x9a, 0x37, 0xd8, 0xe1, 0x5e,
                                      0xbf, 0xf7, 0x25, 0x78, 0xad, 0x36, 0x3f, 0x72, 0x54, 0xe0};
constexpr unsigned char kPrivate[] = {0x9d, 0xe9, 0xac, 0x4d, 0xcb, 0x35, 0x4f, 0x80, 0x2d, 0x16, 0xeb,
                                      0x09, 0x41, 0xa0, 0x63, 0x1b, 0x44, 0x01, 0x82, 0x8b, 0x1d, 0x31,
                                      0xa9, 0x18, 0x0f, 0x32, 0x26, 0x74, 0xd4, 0x54, 0xf2, 0x30};

EvpPkeyPtr ThrowAwayKey()
{
    EcKeyPtr ec(EC_KEY_new_by_curve_name(kNidSm2));
    BnPtr x(BN_bin2bn(kPublicX, sizeof(kPublicX), nullptr)), y(BN_bin2bn(kPublicY, sizeof(kPublicY), nullptr));
    BnPtr d(BN_bin2bn(kPrivate, sizeof(kPrivate), nullptr));
    EcPointPtr point(ec ? EC_POINT_new(EC_KEY_get0_group(ec.get())) : nullptr);
    EvpPkeyPtr pkey(EVP_PKEY_new());
    if (!point || !x || !y || !d || !pkey ||
        !EC_POINT_set_affine_coordinates(EC_KEY_get0_group(ec.get()), point.get(), x.get(), y.get(), nullptr) ||
        !EC_KEY_set_public_key(ec.get(), point.get()) || !EC_KEY_set_private_key(ec.get(), d.get()) ||
        !EVP_PKEY_assign_EC_KEY(pkey.get(), ec.get()))
        return nullptr;
    ec.release();
    return pkey;
}

// SM3(Z || TBS) of the certificate as it was signed.
bool ExpectedDigest(X509* cert, EVP_PKEY* pkey, std::vector<unsigned char>* e)
{
    unsigned char z[SM2_NUMBER_LENGTH];
    unsigned char* tbs = nullptr;
    const int tbsLength = i2d_re_X509_tbs(cert, &tbs);
    OpensslBytesPtr tbsHolder(tbs);
    if (tbsLength <= 0 || !EVP_PKEY_CalculateZValue_SM2(pkey, z))
        return false;
    e->resize(SM3_DIGEST_LENGTH);
    SM3_CTX h;
    SM3_Init(&h);
    SM3_Update(&h, z, sizeof(z));
    SM3_Update(&h, tbs, static_cast<size_t>(tbsLength));
    SM3_Final(e->data(), &h);
    return true;
}

// Item signing and verification must each hand the key method SM3(Z || TBS). The probe stands in for
// the curve arithmetic, which this test is not about.
bool SelfTestPasses()
{
    EvpPkeyPtr pkey = ThrowAwayKey();
    X509Ptr cert = pkey ? ThrowAwayCertificate(pkey.get()) : nullptr;
    if (!cert)
        return false;
    sm2detail::DigestProbe probe;
    std::vector<unsigned char> e;
    return X509_sign(cert.get(), pkey.get(), SM_EVP_sm3()) > 0 && X509_verify(cert.get(), pkey.get()) == 1 &&
           ExpectedDigest(cert.get(), pkey.get(), &e) && probe.Digests().size() == 2 && probe.Digests()[0] == e &&
           probe.Digests()[1] == e;
}

}  // namespace

int sm2detail::RunItemSigningSelfTest()
{
    ERR_set_mark();
    const bool passed = SelfTestPasses();
    ERR_pop_to_mark();
    if (passed)
        return 1;
    fprintf(stderr, "SM_crypto_init: SM2 item signing does not hash the Z value: SM2 certificates would not "
                    "verify; the crypto extensions are not initialised\n");
    ERR_raise(SM2_KEY_ERR_LIB_ASN1, SM2_KEY_R_SELF_TEST_FAILED);
    return 0;
}

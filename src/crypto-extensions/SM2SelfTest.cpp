// Start-up check that SM2 item signing hashes the Z value.
//
// Our key method can only tell item signing from other signing by a flag the library sets on its
// digest contexts and keeps internal. Should a library update stop setting it, SM2 certificates
// would silently be signed and verified without Z, and no certificate from anywhere else would
// verify. Start-up signs a throw-away certificate and checks the signature itself.
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

bool SignatureIsOverZAndTbs(X509* cert, EVP_PKEY* pkey, const EC_KEY* ec)
{
    unsigned char z[SM2_NUMBER_LENGTH], e[SM3_DIGEST_LENGTH];
    unsigned char* tbs = nullptr;
    const int tbsLength = i2d_re_X509_tbs(cert, &tbs);
    OpensslBytesPtr tbsHolder(tbs);
    if (tbsLength <= 0 || !EVP_PKEY_CalculateZValue_SM2(pkey, z))
        return false;
    SM3_CTX h;
    SM3_Init(&h);
    SM3_Update(&h, z, sizeof(z));
    SM3_Update(&h, tbs, static_cast<size_t>(tbsLength));
    SM3_Final(e, &h);

    const ASN1_BIT_STRING* signature = nullptr;
    X509_get0_signature(&signature, nullptr, cert);
    if (signature == nullptr)
        return false;
    const unsigned char* p = ASN1_STRING_get0_data(signature);
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, ASN1_STRING_length(signature)));
    BnPtr eBn(BN_bin2bn(e, sizeof(e), nullptr)), x(BN_new()), y(BN_new());
    return sig && eBn && x && y &&
           EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), x.get(), y.get(),
                                           nullptr) &&
           _SM2_verify(sig.get(), x.get(), y.get(), eBn.get(), kNidSm2) == 1;
}

bool SelfTestPasses()
{
    EcKeyPtr ec(EC_KEY_new_by_curve_name(kNidSm2));
    EvpPkeyPtr pkey(EVP_PKEY_new());
    if (!ec || !pkey || !EC_KEY_generate_key(ec.get()) || !EVP_PKEY_assign_EC_KEY(pkey.get(), ec.get()))
        return false;
    const EC_KEY* key = ec.release();
    X509Ptr cert = ThrowAwayCertificate(pkey.get());
    return cert && X509_sign(cert.get(), pkey.get(), SM_EVP_sm3()) > 0 &&
           SignatureIsOverZAndTbs(cert.get(), pkey.get(), key) && X509_verify(cert.get(), pkey.get()) == 1;
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

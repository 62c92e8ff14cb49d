// The elliptic-curve key of a key object. Built against the 1.1.0 API level: EC_KEY is the
// interface its callers name.
#include "SM2CertHelpers.h"

#include "CryptoExtHolders.h"
#include "SMRegistry.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <memory>
#include <mutex>
#include <vector>

namespace {

using smdetail::EcKeyPtr;

void FreeCachedKey(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*)
{
    EC_KEY_free(static_cast<EC_KEY*>(ptr));
}

// A duplicated key object builds its own equivalent: the cached key belongs to one key object.
int DropCachedKeyOnDup(CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** from_d, int, long, void*)
{
    *from_d = nullptr;
    return 1;
}

int CachedKeyIndex()
{
    static const int index = EVP_PKEY_get_ex_new_index(0, nullptr, nullptr, DropCachedKeyOnDup, FreeCachedKey);
    return index;
}

std::mutex g_cacheMutex;

// An EC_KEY with the curve, public point and (when present) private key of a provider-held key.
EC_KEY* RebuildEcKey(const EVP_PKEY* pkey)
{
    char szGroup[64] = {0};
    size_t nGroupLength = 0;
    if (!EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, szGroup, sizeof(szGroup), &nGroupLength))
        return nullptr;
    int nid = OBJ_txt2nid(szGroup);
    if (NID_undef == nid)
        nid = EC_curve_nist2nid(szGroup);
    smdetail::EcGroupPtr group(SM_EC_GROUP_new_by_curve_name(nid));
    if (!group)
        return nullptr;

    size_t nPublicLength = 0;
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &nPublicLength) ||
        0 == nPublicLength)
        return nullptr;
    std::vector<unsigned char> publicKey(nPublicLength);
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, publicKey.data(), publicKey.size(),
                                         &nPublicLength))
        return nullptr;

    EcKeyPtr ec(EC_KEY_new());
    smdetail::EcPointPtr point(EC_POINT_new(group.get()));
    if (!ec || !point || !EC_KEY_set_group(ec.get(), group.get()) ||
        !EC_POINT_oct2point(group.get(), point.get(), publicKey.data(), nPublicLength, nullptr) ||
        !EC_KEY_set_public_key(ec.get(), point.get()))
        return nullptr;

    BIGNUM* pPrivate = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &pPrivate)) {
        smdetail::BnPtr privateKey(pPrivate);
        if (!EC_KEY_set_private_key(ec.get(), privateKey.get()))
            return nullptr;
    }
    return ec.release();
}

}  // namespace

struct ec_key_st* EVP_PKEY_get0_SM2_KEY(EVP_PKEY* key)
{
    if (nullptr == key || (!EVP_PKEY_is_a(key, "SM2") && !EVP_PKEY_is_a(key, "EC")))
        return nullptr;

    // Probing leaves nothing on the error queue: a provider-held SM2 key is not a failure here.
    ERR_set_mark();
    EC_KEY* ec = const_cast<EC_KEY*>(EVP_PKEY_get0_EC_KEY(key));
    if (nullptr == ec) {
        const int index = CachedKeyIndex();
        if (index >= 0) {
            std::lock_guard<std::mutex> lock(g_cacheMutex);
            ec = static_cast<EC_KEY*>(EVP_PKEY_get_ex_data(key, index));
            if (nullptr == ec) {
                ec = RebuildEcKey(key);
                if (nullptr != ec && !EVP_PKEY_set_ex_data(key, index, ec)) {
                    EC_KEY_free(ec);
                    ec = nullptr;
                }
            }
        }
    }
    ERR_pop_to_mark();
    return ec;
}

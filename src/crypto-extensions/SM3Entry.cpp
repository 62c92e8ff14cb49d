// The SM3 digest entry of the crypto library, over the streaming SM3 functions.
#include "SM3Digest.h"
#include "SMRegistry.h"

#include <openssl/evp.h>

namespace {

// The library allocates this much private data per digest context; our SM3_CTX fits in it.
constexpr int kAppDataSize = 120;
static_assert(sizeof(SM3_CTX) <= kAppDataSize, "SM3 context must fit the digest entry's private data");

int init_sm3(EVP_MD_CTX* ctx)
{
    return SM3_Init(static_cast<SM3_CTX*>(EVP_MD_CTX_md_data(ctx)));
}

int update_sm3(EVP_MD_CTX* ctx, const void* data, size_t count)
{
    return SM3_Update(static_cast<SM3_CTX*>(EVP_MD_CTX_md_data(ctx)), data, count);
}

int final_sm3(EVP_MD_CTX* ctx, unsigned char* md)
{
    return SM3_Final(md, static_cast<SM3_CTX*>(EVP_MD_CTX_md_data(ctx)));
}

EVP_MD* MakeSm3Entry()
{
    // The signature type differs from the digest type, so registering the entry also makes the
    // SM2-with-SM3 names aliases of "sm3".
    EVP_MD* md = EVP_MD_meth_new(kNidSm3, kNidSm2Sm3);
    if (md == nullptr)
        return nullptr;
    if (!EVP_MD_meth_set_result_size(md, SM3_DIGEST_LENGTH) || !EVP_MD_meth_set_input_blocksize(md, SM3_CBLOCK) ||
        !EVP_MD_meth_set_app_datasize(md, kAppDataSize) || !EVP_MD_meth_set_flags(md, 0) ||
        !EVP_MD_meth_set_init(md, init_sm3) || !EVP_MD_meth_set_update(md, update_sm3) ||
        !EVP_MD_meth_set_final(md, final_sm3)) {
        EVP_MD_meth_free(md);
        return nullptr;
    }
    return md;
}

}  // namespace

const EVP_MD* SM_EVP_sm3()
{
    static EVP_MD* entry = MakeSm3Entry();
    return entry;
}

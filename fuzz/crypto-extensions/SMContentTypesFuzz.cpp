// The SM content-type readers on untrusted input. The first byte picks the reader: 0 SM_d2i_PKCS7,
// 1 SM_d2i_PKCS12 with its safes unpacked. What the PKCS#7 reader accepts is normalised (no SM type
// left where the library looks), writes back with the types it reported, and reads again to the
// same types and the same stock encoding.
#include "SMContentTypes.h"
#include "SMRegistry.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

bool Encode(int (*i2d)(const PKCS7*, int, unsigned char**), const PKCS7* p7, int smTypes, Bytes* out)
{
    unsigned char* der = nullptr;
    const int len = i2d(p7, smTypes, &der);
    if (len > 0)
        out->assign(der, der + len);
    OPENSSL_free(der);
    return len > 0;
}

int StockI2d(const PKCS7* p7, int, unsigned char** out)
{
    return i2d_PKCS7(p7, out);
}

bool IsSm(const ASN1_OBJECT* type)
{
    const int nid = OBJ_obj2nid(type);
    return nid != NID_undef && (nid == kNidSmData || nid == kNidSmSignedData);
}

void FuzzPkcs7(const uint8_t* data, size_t size)
{
    const unsigned char* p = data;
    int smTypes = -1;
    PKCS7* p7 = SM_d2i_PKCS7(nullptr, &p, static_cast<long>(size), &smTypes);
    if (p7 == nullptr)
        return;
    if (p < data || p > data + size || smTypes < 0 || smTypes > SM_PKCS7_TYPES_ALL || IsSm(p7->type))
        abort();
    if (PKCS7_type_is_signed(p7) && p7->d.sign != nullptr) {
        // Nested SM signedData stays unknown, as nested signedData is content the library cannot read.
        if (p7->d.sign->contents != nullptr && OBJ_obj2nid(p7->d.sign->contents->type) == kNidSmData)
            abort();
        // The library's own readers on the normalised structure.
        PKCS7_get_detached(p7);
        STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
        for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i)
            PKCS7_cert_from_signer_info(p7, sk_PKCS7_SIGNER_INFO_value(infos, i));
    }
    Bytes stock, sm, stockAgain, smAgain;
    if (Encode(StockI2d, p7, 0, &stock)) {
        if (!Encode(SM_i2d_PKCS7, p7, smTypes, &sm))
            abort();
        p = sm.data();
        int againTypes = -1;
        PKCS7* again = SM_d2i_PKCS7(nullptr, &p, static_cast<long>(sm.size()), &againTypes);
        if (again == nullptr || againTypes != smTypes || !Encode(StockI2d, again, 0, &stockAgain) ||
            stockAgain != stock || !Encode(SM_i2d_PKCS7, again, smTypes, &smAgain) || smAgain != sm)
            abort();
        PKCS7_free(again);
    }
    PKCS7_free(p7);
}

void FuzzPkcs12(const uint8_t* data, size_t size)
{
    const unsigned char* p = data;
    PKCS12* p12 = SM_d2i_PKCS12(nullptr, &p, static_cast<long>(size));
    if (p12 == nullptr)
        return;
    if (p < data || p > data + size)
        abort();
    // The MAC is left alone: its iteration count comes from the input.
    STACK_OF(PKCS7)* safes = SM_PKCS12_unpack_authsafes(p12);
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes, i);
        if (IsSm(safe->type))
            abort();
        if (PKCS7_type_is_data(safe))
            sk_PKCS12_SAFEBAG_pop_free(PKCS12_unpack_p7data(safe), PKCS12_SAFEBAG_free);
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    PKCS12_free(p12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = SM_crypto_init() == 1;
    if (!ready)
        abort();
    if (size < 2)
        return 0;
    if (data[0] == 0)
        FuzzPkcs7(data + 1, size - 1);
    else if (data[0] == 1)
        FuzzPkcs12(data + 1, size - 1);
    ERR_clear_error();
    return 0;
}

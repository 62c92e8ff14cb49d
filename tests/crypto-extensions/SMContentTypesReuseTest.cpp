// A structure built or read with SM types must leave nothing behind that a later structure at the
// same address inherits: a per-address mark of "write this with SM types" would outlive a structure
// freed by any path that does not know of it (the library frees replaced contents itself). The test
// executable runs with the sanitizer's quarantine off, so that freed memory is handed out again.
#include "SMContentTypes.h"
#include "SMRegistry.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Der(const PKCS7* p7, int smTypes)
{
    unsigned char* der = nullptr;
    const int len = SM_i2d_PKCS7(p7, smTypes, &der);
    Bytes out(der, der + std::max(0, len));
    OPENSSL_free(der);
    return out;
}

bool Contains(const Bytes& der, int nid)
{
    const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    const unsigned char* oid = OBJ_get0_data(obj);
    return std::search(der.begin(), der.end(), oid, oid + OBJ_length(obj)) != der.end();
}

// A new structure at the given address; the ones allocated on the way are freed at the end.
PKCS7* NewAt(const void* address)
{
    std::vector<PKCS7*> others;
    PKCS7* p7 = nullptr;
    for (int i = 0; i < 256 && p7 == nullptr; ++i) {
        PKCS7* candidate = PKCS7_new();
        if (candidate == address)
            p7 = candidate;
        else
            others.push_back(candidate);
    }
    for (PKCS7* other : others)
        PKCS7_free(other);
    return p7;
}

TEST(SMContentTypesReuse, AStructureFreedAfterSmTypesLeavesNoMarkForTheNextOneAtItsAddress)
{
    ASSERT_EQ(1, SM_crypto_init());
    // Built with the SM signedData type, then freed the library's way.
    PKCS7* built = PKCS7_new();
    ASSERT_EQ(1, SM_PKCS7_set_type(built, kNidSmSignedData));
    ASSERT_EQ(1, PKCS7_content_new(built, NID_pkcs7_data));
    EXPECT_TRUE(Contains(Der(built, SM_PKCS7_TYPES_ALL), kNidSmSignedData));
    const void* address = built;
    PKCS7_free(built);

    PKCS7* fresh = NewAt(address);
    ASSERT_NE(nullptr, fresh) << "the allocator did not hand the address out again";
    ASSERT_EQ(1, PKCS7_set_type(fresh, NID_pkcs7_signed));
    ASSERT_EQ(1, PKCS7_content_new(fresh, NID_pkcs7_data));
    const Bytes der = Der(fresh, 0);
    EXPECT_TRUE(Contains(der, NID_pkcs7_signed) && Contains(der, NID_pkcs7_data));
    EXPECT_FALSE(Contains(der, kNidSmSignedData) || Contains(der, kNidSmData));
    unsigned char* stock = nullptr;
    const int len = i2d_PKCS7(fresh, &stock);
    EXPECT_EQ(Bytes(stock, stock + len), der);
    OPENSSL_free(stock);
    PKCS7_free(fresh);

    // Read from SM input, then freed: the next structure read from stock input writes stock.
    Bytes smDer;
    {
        PKCS7* p7 = PKCS7_new();
        ASSERT_EQ(1, SM_PKCS7_set_type(p7, kNidSmData));
        smDer = Der(p7, SM_PKCS7_TYPE_OUTER);
        PKCS7_free(p7);
    }
    const unsigned char* p = smDer.data();
    int reported = 0;
    PKCS7* read = SM_d2i_PKCS7(nullptr, &p, static_cast<long>(smDer.size()), &reported);
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(SM_PKCS7_TYPE_OUTER, reported);
    address = read;
    PKCS7_free(read);
    fresh = NewAt(address);
    ASSERT_NE(nullptr, fresh);
    ASSERT_EQ(1, PKCS7_set_type(fresh, NID_pkcs7_data));
    EXPECT_FALSE(Contains(Der(fresh, 0), kNidSmData));
    PKCS7_free(fresh);
}

}  // namespace

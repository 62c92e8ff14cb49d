// Nothing of a structure built or read with SM types may pass to a later one at the same address:
// a per-address mark would outlive a structure freed by any path that does not know of it (the
// library frees replaced contents itself). Run without the sanitizer's quarantine, so that freed
// memory is handed out again at once.
#include "SMContentTypes.h"
#include "SMRegistry.h"

#include <openssl/objects.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// The encoding names the SM type when nSmTypes asks for it.
bool WritesSmType(const PKCS7* p7, int nSmTypes, int smNid)
{
    unsigned char* der = nullptr;
    const int len = SM_i2d_PKCS7(p7, nSmTypes, &der);
    const ASN1_OBJECT* obj = OBJ_nid2obj(smNid);
    const bool found = std::search(der, der + std::max(0, len), OBJ_get0_data(obj),
                                   OBJ_get0_data(obj) + OBJ_length(obj)) != der + std::max(0, len);
    OPENSSL_free(der);
    return found;
}

// A new structure at the address; those allocated on the way are freed again.
PKCS7* NewAt(const void* address)
{
    std::vector<PKCS7*> others;
    PKCS7* p7 = PKCS7_new();
    while (p7 != address && others.size() < 256) {
        others.push_back(p7);
        p7 = PKCS7_new();
    }
    for (PKCS7* other : others)
        PKCS7_free(other);
    return p7 == address ? p7 : nullptr;
}

TEST(SMContentTypesReuse, AStructureFreedAfterSmTypesLeavesNoMarkForTheNextOneAtItsAddress)
{
    ASSERT_EQ(1, SM_crypto_init());
    for (int smNid : {kNidSmSignedData, kNidSmData}) {
        // Built with the SM type (attached until its content goes), then freed the library's way.
        PKCS7* built = PKCS7_new();
        ASSERT_EQ(1, SM_PKCS7_set_type(built, smNid));
        if (smNid == kNidSmSignedData) {
            ASSERT_EQ(1, PKCS7_content_new(built, NID_pkcs7_data));
            EXPECT_EQ(0, PKCS7_get_detached(built));
            PKCS7_set_detached(built, 1);
            EXPECT_EQ(1, PKCS7_get_detached(built));
            EXPECT_TRUE(WritesSmType(built, SM_PKCS7_TYPES_ALL, kNidSmData));
        }
        EXPECT_TRUE(WritesSmType(built, SM_PKCS7_TYPE_OUTER, smNid));
        const void* address = built;
        PKCS7_free(built);

        PKCS7* fresh = NewAt(address);
        ASSERT_NE(nullptr, fresh) << "the allocator did not hand the address out again";
        ASSERT_EQ(1, PKCS7_set_type(fresh, smNid == kNidSmData ? NID_pkcs7_data : NID_pkcs7_signed));
        EXPECT_FALSE(WritesSmType(fresh, 0, smNid));
        PKCS7_free(fresh);
    }
}

}  // namespace

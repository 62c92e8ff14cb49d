// Helpers of the DER engine tests; OpenSSL's own TLV reader is the reference for parsed trees.
#ifndef VARNELL_TESTS_SMKERNEL_NODEEX_TEST_UTIL_H
#define VARNELL_TESTS_SMKERNEL_NODEEX_TEST_UTIL_H

#include "NodeEx.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace nodeex_test {

using Bytes = std::vector<unsigned char>;

// Builders for trees made by hand; the nodes belong to the caller (or the container they join).
inline NodeEx* Leaf(unsigned char tag, const Bytes& value)
{
    NodeEx* node = nullptr;
    EXPECT_EQ(QOVA_OK, CreateLeafNodeEx(tag, value.data(), static_cast<int>(value.size()), &node));
    return node;
}

inline NodeEx* Container(unsigned char tag, std::initializer_list<NodeEx*> children)
{
    NodeEx* node = nullptr;
    EXPECT_EQ(QOVA_OK, CreateContainerNodeEx(tag, &node));
    for (NodeEx* child : children)
        node->AddChild(child);
    return node;
}

inline unsigned int EncodeToBytes(NodeEx* node, Bytes* out, int* depth = nullptr)
{
    unsigned char* encoded = nullptr;
    int size = 0;
    const unsigned int result = EncodeASN1ToMemory(node, &encoded, &size, depth);
    if (QOVA_OK == result)
        out->assign(encoded, encoded + size);
    delete[] encoded;
    return result;
}

// Encodes into a fresh file at path and reads the file back; *written gets the encoder's count.
inline unsigned int EncodeToFileBytes(NodeEx* node, const std::string& path, Bytes* out, int* written = nullptr)
{
    FILE* file = fopen(path.c_str(), "w+b");
    int count = 0;
    const unsigned int result = file ? EncodeASN1ToFile(node, file, &count, nullptr) : 0xDEADu;
    if (file) {
        out->assign(static_cast<size_t>(ftell(file)), 0);
        rewind(file);
        if (fread(out->data(), 1, out->size(), file) != out->size())
            out->clear();
        fclose(file);
    }
    if (written)
        *written = count;
    return result;
}

inline unsigned int Parse(Bytes& data, NodeExPtr* root)
{
    NodeEx* raw = nullptr;
    const unsigned int result = DecodeASN1MemoryEx(data.data(), data.size(), &raw);
    root->reset(raw);
    return result;
}

// Equality of large buffers without printing them: the offset of the first difference.
inline long FirstDifference(const Bytes& a, const Bytes& b)
{
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return mismatch.first == a.end() && mismatch.second == b.end() ? -1 : mismatch.first - a.begin();
}
#define EXPECT_SAME_BYTES(expected, actual) EXPECT_EQ(-1, nodeex_test::FirstDifference((expected), (actual)))

// Compares a parsed DER subtree with OpenSSL's reading of the same octets (tag, header, value range,
// and constructed values having exactly the children OpenSSL sees). Returns the nodes compared.
inline size_t ExpectMatchesOpenSSL(const NodeEx* node, const unsigned char* base, const unsigned char* at, long max)
{
    const unsigned char* value = at;
    long length = 0;
    int tag = 0, cls = 0;
    const int info = ASN1_get_object(&value, &length, &tag, &cls, max);
    if (0x80 & info) {
        ADD_FAILURE() << "OpenSSL cannot read the TLV at offset " << (at - base);
        return 0;
    }
    EXPECT_EQ(at[0], node->Tag);
    EXPECT_EQ(static_cast<unsigned long long>(value - at - 1), node->LengthOctetsSize);
    EXPECT_EQ(static_cast<unsigned long long>(length), node->ValueLength);
    EXPECT_EQ(static_cast<unsigned long long>(value - base), node->ValueStartPosition);
    EXPECT_EQ(static_cast<unsigned long long>(value - at + length), node->TotalLength);
    if (0 == (info & V_ASN1_CONSTRUCTED)) {
        EXPECT_TRUE(node->vetNodes.empty()) << "primitive value parsed as container at " << (at - base);
        return 1;
    }
    size_t count = 1;
    const unsigned char* child = value;
    for (const NodeEx* sub : node->vetNodes) {
        EXPECT_EQ(node, sub->pParent);
        count += ExpectMatchesOpenSSL(sub, base, child, value + length - child);
        child += sub->TotalLength;
        if (::testing::Test::HasFailure())
            return count;
    }
    EXPECT_EQ(value + length, child) << "children do not fill the value at " << (at - base);
    return count;
}

}  // namespace nodeex_test

#endif

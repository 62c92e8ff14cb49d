// Helpers shared by the DER engine tests: encoding into vectors, and OpenSSL's own TLV reader as
// the reference for what a parsed tree must look like.
#ifndef VARNELL_TESTS_SMKERNEL_NODEEX_TEST_UTIL_H
#define VARNELL_TESTS_SMKERNEL_NODEEX_TEST_UTIL_H

#include "NodeEx.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <cstdio>
#include <string>
#include <vector>

namespace nodeex_test {

using Bytes = std::vector<unsigned char>;

// Encodes with EncodeASN1ToMemory; the buffer is released here.
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

// Encodes with EncodeASN1ToFile into a fresh file at path and reads it back.
inline unsigned int EncodeToFileBytes(NodeEx* node, const std::string& path, Bytes* out, int* written = nullptr)
{
    FILE* file = fopen(path.c_str(), "w+b");
    if (!file)
        return 0xDEADu;
    int count = 0;
    const unsigned int result = EncodeASN1ToFile(node, file, &count, nullptr);
    fflush(file);
    fseek(file, 0, SEEK_END);
    out->resize(static_cast<size_t>(ftell(file)));
    fseek(file, 0, SEEK_SET);
    if (!out->empty() && fread(out->data(), 1, out->size(), file) != out->size())
        out->clear();
    fclose(file);
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

// Index of the first differing octet, or -1 when equal; keeps failure output short for large data.
inline long FirstDifference(const Bytes& a, const Bytes& b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

#define EXPECT_SAME_BYTES(expected, actual)                                                            \
    EXPECT_EQ(-1, nodeex_test::FirstDifference((expected), (actual)))                                  \
        << "first difference at this offset; sizes " << (expected).size() << " / " << (actual).size()

// Compares a parsed (DER) subtree against OpenSSL's reading of the same octets: tag octet, header,
// value position and length, and constructed values having exactly the children OpenSSL sees.
// Returns the number of nodes compared.
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
    EXPECT_EQ(0, node->InfiniteLength);

    size_t count = 1;
    if (0 == (info & V_ASN1_CONSTRUCTED)) {
        EXPECT_TRUE(node->vetNodes.empty()) << "primitive value parsed as container at " << (at - base);
        return count;
    }
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

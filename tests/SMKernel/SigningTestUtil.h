// Helpers of the signing and SignedData tests: the fixture files of make-signing-fixtures.sh, open
// streams, byte files and Base64.
#ifndef VARNELL_TESTS_SMKERNEL_SIGNING_TEST_UTIL_H
#define VARNELL_TESTS_SMKERNEL_SIGNING_TEST_UTIL_H

#include "Base64.h"
#include "PKCS7SignedDataOperations.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace signingtest {

using Bytes = std::vector<unsigned char>;

inline std::string Fixture(const std::string& name)
{
    return std::string(SIGNING_FIXTURE_DIR) + "/" + name;
}

struct FileCloser
{
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

inline FilePtr Open(const std::string& path, const char* mode = "rb")
{
    FilePtr file(fopen(path.c_str(), mode));
    EXPECT_NE(nullptr, file) << path;
    return file;
}

inline Bytes ReadBytes(const std::string& path)
{
    const std::string s = testutil::ReadFileOrEmpty(path);
    return Bytes(s.begin(), s.end());
}

inline bool WriteBytes(const std::string& path, const Bytes& data)
{
    return testutil::WriteFile(path, std::string(data.begin(), data.end()));
}

// Takes over a new[] buffer the code under test handed out.
inline Bytes Take(unsigned char* data, int size)
{
    Bytes result = data ? Bytes(data, data + size) : Bytes();
    delete[] data;
    return result;
}

inline std::string Base64(Bytes data, unsigned long flags = ATL_BASE64_FLAG_NONE)
{
    char* text = nullptr;
    EXPECT_EQ(QOVA_OK, Base64EncodeEx(data.data(), static_cast<int>(data.size()), &text, nullptr, flags));
    const std::string result = text ? text : "";
    delete[] text;
    return result;
}

constexpr char kSignedDataOid[] = "1.2.840.113549.1.7.2";
constexpr char kDataOid[] = "1.2.840.113549.1.7.1";
constexpr char kSMSignedDataOid[] = "1.2.156.10197.6.1.4.2.2";
constexpr char kSMDataOid[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";
constexpr char kSm3Oid[] = "1.2.156.10197.1.401";
constexpr char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";
constexpr char kSM2SignatureOid[] = "1.2.156.10197.1.301.1";

// The arguments of Encode_PKCS7Signature, with the values most tests use.
struct SignedDataSpec
{
    Bytes cert;
    bool attached = false;
    Bytes content;            // attached content from memory, unless a file is given
    FILE* file = nullptr;
    std::string contentInfoOid = kSignedDataOid, contentTypeOid = kDataOid;
    std::string digestOid = kSha256Oid, encryptionOid = kRsaEncryptionOid;
    Bytes signature;
    unsigned long encodedType = SIGNATURE_ENCODED_OCTET_STRING;
    NodeEx* signedAttributes = nullptr;    // taken over by the encoder
    NodeEx* unsignedAttributes = nullptr;
};

// Encodes to memory (*out), or to the open file when toFile is given.
inline unsigned int EncodeSignedData(SignedDataSpec spec, Bytes* out, FILE* toFile = nullptr, int* written = nullptr)
{
    static unsigned char empty = 0;
    unsigned char* content = spec.attached && !spec.file ? (spec.content.empty() ? &empty : spec.content.data()) : nullptr;
    unsigned char* der = nullptr;
    int size = 0;
    const unsigned int code = Encode_PKCS7Signature(
        spec.cert.data(), static_cast<int>(spec.cert.size()), content, static_cast<int>(spec.content.size()), spec.file,
        spec.attached, spec.contentInfoOid.c_str(), spec.contentTypeOid.c_str(), spec.digestOid.c_str(),
        spec.signedAttributes, spec.encryptionOid.c_str(), spec.signature.data(),
        static_cast<int>(spec.signature.size()), spec.encodedType, spec.unsignedAttributes, out ? &der : nullptr,
        out ? &size : nullptr, toFile, written);
    if (out)
        *out = Take(der, size);
    return code;
}

// Every piece ParsePKCS7Signature hands out.
struct ParsedSignedData
{
    unsigned int code = 0xDEAD;
    Bytes cert, signature, content, signedAttributes, unsignedAttributes;
    std::string digestOid, encryptionOid;
    bool hasCert = false, hasContent = false;
};

inline ParsedSignedData ParseSignedData(Bytes der, int decodeSM2Q1 = 1)
{
    ParsedSignedData p;
    unsigned char *cert = nullptr, *sig = nullptr, *content = nullptr, *sa = nullptr, *ua = nullptr;
    char *digestOid = nullptr, *encryptionOid = nullptr;
    int certSize = -1, sigSize = -1, contentSize = -1, saSize = -1, uaSize = -1, dSize = -1, eSize = -1;
    p.code = ParsePKCS7Signature(der.data(), static_cast<int>(der.size()), &cert, &certSize, &sig, &sigSize, &content,
                                 &contentSize, &digestOid, &dSize, &encryptionOid, &eSize, &sa, &saSize, &ua, &uaSize,
                                 decodeSM2Q1);
    p.hasCert = nullptr != cert;
    p.hasContent = nullptr != content;
    if (content) {
        EXPECT_EQ(0, content[contentSize]);  // NUL-terminated too
    }
    p.cert = Take(cert, certSize);
    p.signature = Take(sig, sigSize);
    p.content = Take(content, contentSize);
    p.signedAttributes = Take(sa, saSize);
    p.unsignedAttributes = Take(ua, uaSize);
    p.digestOid = digestOid ? digestOid : "";
    p.encryptionOid = encryptionOid ? encryptionOid : "";
    delete[] digestOid;
    delete[] encryptionOid;
    return p;
}

}  // namespace signingtest

#endif

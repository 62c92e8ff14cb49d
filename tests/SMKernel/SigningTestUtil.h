// Helpers of the signing and SignedData tests: the fixture files of make-signing-fixtures.sh, open
// streams, byte files and Base64.
#ifndef VARNELL_TESTS_SMKERNEL_SIGNING_TEST_UTIL_H
#define VARNELL_TESTS_SMKERNEL_SIGNING_TEST_UTIL_H

#include "Base64.h"
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

}  // namespace signingtest

#endif

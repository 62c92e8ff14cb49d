// Shared pieces of the encryption and envelope tests.
#ifndef VARNELL_TESTS_SMKERNEL_ENCRYPTION_TEST_UTIL_H
#define VARNELL_TESTS_SMKERNEL_ENCRYPTION_TEST_UTIL_H

#include "TestUtil.h"

#include <openssl/rand.h>

#include <cstdio>
#include <memory>
#include <string>

namespace enctest {

struct FileClose { void operator()(FILE* f) const { fclose(f); } };
using File = std::unique_ptr<FILE, FileClose>;
inline File Open(const std::string& path, const char* mode) { return File(fopen(path.c_str(), mode)); }

// Made by tests/fixtures/make-envelope-fixtures.sh.
inline std::string Fixture(const std::string& name) { return std::string(ENVELOPE_FIXTURE_DIR) + "/" + name; }

inline std::string RandomBytes(size_t n)
{
    std::string bytes(n, '\0');
    if (n > 0 && 1 != RAND_bytes(reinterpret_cast<unsigned char*>(&bytes[0]), static_cast<int>(n))) abort();
    return bytes;
}

inline unsigned char* U(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }
inline int N(const std::string& s) { return static_cast<int>(s.size()); }
inline std::string Hex(const std::string& s)
{
    return testutil::BytesToHex(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// An array the kernel handed out, with its length.
template <typename T>
struct Out
{
    T* p = nullptr;
    int n = 0;
    ~Out() { delete[] p; }
    std::string str() const { return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : ""; }
};

}  // namespace enctest

#endif

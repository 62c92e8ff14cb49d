// Base64 codec: table-driven, one pass, no allocation in the buffer functions.
#include "Base64.h"

#include "QovaTrace.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineGroups = 19;  // 76 characters per line
constexpr int kLineChars = kLineGroups * 4;

// Two output characters for every 12-bit half of a 3-octet group.
struct PairTable
{
    char pairs[4096][2];
};

constexpr PairTable MakePairTable()
{
    PairTable table{};
    for (int i = 0; i < 4096; ++i) {
        table.pairs[i][0] = kAlphabet[i >> 6];
        table.pairs[i][1] = kAlphabet[i & 0x3F];
    }
    return table;
}

constexpr PairTable kPairs = MakePairTable();

constexpr uint32_t kInvalid = 0x80000000u;

// The 6-bit value of each character, already shifted into its place in a 4-character group, or
// kInvalid for a character outside the alphabet.
struct DecodeTables
{
    int8_t value[256];
    uint32_t shifted[4][256];
};

constexpr DecodeTables MakeDecodeTables()
{
    DecodeTables tables{};
    for (int c = 0; c < 256; ++c)
        tables.value[c] = -1;
    for (int v = 0; v < 64; ++v)
        tables.value[static_cast<unsigned char>(kAlphabet[v])] = static_cast<int8_t>(v);
    for (int c = 0; c < 256; ++c) {
        for (int k = 0; k < 4; ++k) {
            tables.shifted[k][c] =
                tables.value[c] < 0 ? kInvalid : static_cast<uint32_t>(tables.value[c]) << (6 * (3 - k));
        }
    }
    return tables;
}

constexpr DecodeTables kDecode = MakeDecodeTables();

inline char* EncodeGroup(const unsigned char* in, char* out)
{
    const uint32_t v = (static_cast<uint32_t>(in[0]) << 16) | (static_cast<uint32_t>(in[1]) << 8) | in[2];
    memcpy(out, kPairs.pairs[v >> 12], 2);
    memcpy(out + 2, kPairs.pairs[v & 0xFFF], 2);
    return out + 4;
}

}  // namespace

int Base64EncodeGetRequiredLength(int nDataSize, unsigned long dwFlags)
{
    if (nDataSize < 0)
        return -1;
    // 64-bit throughout: 4n/3 overflows an int long before n does.
    const long long n = nDataSize;
    long long r = n * 4 / 3;
    if (0 == (dwFlags & ATL_BASE64_FLAG_NOPAD))
        r += n % 3;
    const long long k = r / kLineChars + 1;
    const long long nLineRest = r % kLineChars;
    if (0 != nLineRest && 0 != nLineRest % 4)
        r += 4 - nLineRest % 4;
    const long long nRequired = (0 != (dwFlags & ATL_BASE64_FLAG_NOCRLF)) ? r : r + 2 * k;
    return nRequired > INT_MAX ? -1 : static_cast<int>(nRequired);
}

int Base64DecodeGetRequiredLength(int nBase64Size)
{
    return nBase64Size;
}

bool Base64Encode(const unsigned char* pbyData, int nDataSize, char* pszDest, int* pnDestSize, unsigned long dwFlags)
{
    if (nullptr == pbyData || nullptr == pszDest || nullptr == pnDestSize)
        return false;
    const int nRequired = Base64EncodeGetRequiredLength(nDataSize, dwFlags);
    if (nRequired < 0 || *pnDestSize < nRequired)
        return false;

    const bool bLineBreaks = 0 == (dwFlags & ATL_BASE64_FLAG_NOCRLF);
    const unsigned char* in = pbyData;
    char* out = pszDest;
    size_t nGroups = static_cast<size_t>(nDataSize) / 3;
    if (!bLineBreaks) {
        for (; nGroups > 0; --nGroups, in += 3)
            out = EncodeGroup(in, out);
    } else {
        // Every full line of 19 groups is followed by CR LF, also the last one.
        while (nGroups >= static_cast<size_t>(kLineGroups)) {
            for (int i = 0; i < kLineGroups; ++i, in += 3)
                out = EncodeGroup(in, out);
            *out++ = '\r';
            *out++ = '\n';
            nGroups -= kLineGroups;
        }
        for (; nGroups > 0; --nGroups, in += 3)
            out = EncodeGroup(in, out);
    }

    const int nRest = nDataSize % 3;
    if (0 != nRest) {
        const uint32_t v = (static_cast<uint32_t>(in[0]) << 16) | (2 == nRest ? static_cast<uint32_t>(in[1]) << 8 : 0);
        *out++ = kAlphabet[(v >> 18) & 0x3F];
        *out++ = kAlphabet[(v >> 12) & 0x3F];
        if (2 == nRest)
            *out++ = kAlphabet[(v >> 6) & 0x3F];
        if (0 == (dwFlags & ATL_BASE64_FLAG_NOPAD)) {
            *out++ = '=';
            if (1 == nRest)
                *out++ = '=';
        }
    }
    *pnDestSize = static_cast<int>(out - pszDest);
    return true;
}

int DecodeBase64Char(unsigned int c)
{
    return c < 256 ? kDecode.value[c] : -1;
}

bool Base64Decode(const char* pszBase64, int nBase64Size, unsigned char* pbyDest, int* pnDestSize)
{
    if (nullptr == pszBase64 || nullptr == pnDestSize)
        return false;

    const unsigned char* src = reinterpret_cast<const unsigned char*>(pszBase64);
    const size_t nLength = nBase64Size > 0 ? static_cast<size_t>(nBase64Size) : 0;
    const size_t nCapacity = (nullptr != pbyDest && *pnDestSize > 0) ? static_cast<size_t>(*pnDestSize) : 0;
    // A measuring call writes nothing; otherwise writing stops at the first group that does not fit.
    bool bOverflow = nullptr == pbyDest;
    size_t nWritten = 0;
    size_t pos = 0;

    while (pos < nLength && 0 != src[pos]) {
        // Common case: four characters of the alphabet in a row.
        if (nLength - pos >= 4) {
            const uint32_t v = kDecode.shifted[0][src[pos]] | kDecode.shifted[1][src[pos + 1]] |
                               kDecode.shifted[2][src[pos + 2]] | kDecode.shifted[3][src[pos + 3]];
            if (0 == (v & kInvalid)) {
                if (!bOverflow && nCapacity - nWritten >= 3) {
                    pbyDest[nWritten] = static_cast<unsigned char>(v >> 16);
                    pbyDest[nWritten + 1] = static_cast<unsigned char>(v >> 8);
                    pbyDest[nWritten + 2] = static_cast<unsigned char>(v);
                } else {
                    bOverflow = true;
                }
                nWritten += 3;
                pos += 4;
                continue;
            }
        }

        // Collect up to four characters of the alphabet, skipping everything else.
        uint32_t nBits = 0;
        int nCollected = 0;
        while (nCollected < 4 && pos < nLength) {
            const int8_t value = kDecode.value[src[pos++]];
            if (value < 0)
                continue;
            nBits = (nBits << 6) | static_cast<uint32_t>(value);
            ++nCollected;
        }
        const size_t nOctets = static_cast<size_t>(6 * nCollected / 8);
        nBits <<= 6 * (4 - nCollected);
        if (!bOverflow && nCapacity - nWritten < nOctets)
            bOverflow = true;
        if (!bOverflow) {
            for (size_t i = 0; i < nOctets; ++i)
                pbyDest[nWritten + i] = static_cast<unsigned char>(nBits >> (16 - 8 * i));
        }
        nWritten += nOctets;
    }

    *pnDestSize = static_cast<int>(nWritten);
    return !bOverflow;
}

unsigned int Base64EncodeEx(unsigned char* pbyData, int nDataSize, char** ppBase64EncodedStr, int* pnBase64Length,
                            unsigned long dwFlags)
{
    QOVA_FAIL_IF(NULL == ppBase64EncodedStr, QOVA_E_INVALIDARG, "Check ppBase64EncodeStr");
    QOVA_FAIL_IF(ATL_BASE64_FLAG_NONE != dwFlags && ATL_BASE64_FLAG_NOPAD != dwFlags &&
                     ATL_BASE64_FLAG_NOCRLF != dwFlags,
                 QOVA_E_INVALIDARG, "Check Base64 flag parameter.");

    int nBase64Length = Base64EncodeGetRequiredLength(nDataSize, dwFlags);
    QOVA_FAIL_IF(nBase64Length <= 0, QOVA_E_BASE64_ENCODE, "Base64EncodeGetRequiredLength");

    const size_t nAllocated = static_cast<size_t>(nBase64Length) + 1;
    std::unique_ptr<char[]> text(new (std::nothrow) char[nAllocated]);
    QOVA_FAIL_IF(NULL == text, QOVA_E_BASE64_ENCODE, "New memory");

    const bool bSuccess = Base64Encode(pbyData, nDataSize, text.get(), &nBase64Length, dwFlags);
    QOVA_FAIL_IF(false == bSuccess, QOVA_E_BASE64_ENCODE, "Base64Encode");
    // The required length is an upper bound; the rest of the buffer is cleared, NUL included.
    memset(text.get() + nBase64Length, 0, nAllocated - static_cast<size_t>(nBase64Length));

    *ppBase64EncodedStr = text.release();
    if (NULL != pnBase64Length)
        *pnBase64Length = nBase64Length;
    return QOVA_OK;
}

unsigned int Base64DecodeEx(const char* pszBase64, int nDecodeDataSize, unsigned char** ppbyData, int* pnDataSize)
{
    QOVA_FAIL_IF(NULL == ppbyData || NULL == pnDataSize, QOVA_E_INVALIDARG, "Check parameter");

    int nDataSize = Base64DecodeGetRequiredLength(nDecodeDataSize);
    QOVA_FAIL_IF(nDecodeDataSize <= 0, QOVA_E_BASE64_DECODE, "Base64DecodeGetRequiredLength");

    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[static_cast<size_t>(nDataSize)]);
    QOVA_FAIL_IF(NULL == data, QOVA_E_BASE64_DECODE, "New memory");

    const bool bSuccess = Base64Decode(pszBase64, nDecodeDataSize, data.get(), &nDataSize);
    QOVA_FAIL_IF(false == bSuccess, QOVA_E_BASE64_DECODE, "Base64Decode");
    // Only the decoded octets are handed on; clear the unused tail the capacity left.
    memset(data.get() + nDataSize, 0, static_cast<size_t>(nDecodeDataSize - nDataSize));

    *ppbyData = data.release();
    *pnDataSize = nDataSize;
    return QOVA_OK;
}

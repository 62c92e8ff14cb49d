// Length arithmetic shared by the DER encoder and parser.
#ifndef VARNELL_SMKERNEL_NODEEX_DETAIL_H
#define VARNELL_SMKERNEL_NODEEX_DETAIL_H

namespace nodeex_detail {

// One octet 0x80 | n followed by at most 8 length octets.
constexpr int kMaxLengthOctets = 9;

// DER length octets for a definite length: one below 128, else 1 + the minimal big-endian count.
inline int LengthOctetCount(unsigned long long length)
{
    if (length < 0x80)
        return 1;
    int n = 1;
    while (length >>= 8)
        ++n;
    return 1 + n;
}

// Writes the definite-form length octets; returns their count.
inline int WriteLengthOctets(unsigned long long length, unsigned char* out)
{
    if (length < 0x80) {
        out[0] = static_cast<unsigned char>(length);
        return 1;
    }
    const int nCount = LengthOctetCount(length) - 1;
    out[0] = static_cast<unsigned char>(0x80 | nCount);
    for (int i = nCount; i >= 1; --i) {
        out[i] = static_cast<unsigned char>(length);
        length >>= 8;
    }
    return nCount + 1;
}

// True when [start, start + count) lies inside [0, size), tested without overflow.
inline bool RangeInside(unsigned long long start, unsigned long long count, unsigned long long size)
{
    return start <= size && count <= size - start;
}

inline unsigned int Saturate32(unsigned long long value)
{
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned int>(value);
}

}  // namespace nodeex_detail

#endif

// Big-endian words, the byte order of SM3's message and digest and of SM4's blocks.
#ifndef VARNELL_CRYPTOEXT_BYTE_ORDER_H
#define VARNELL_CRYPTOEXT_BYTE_ORDER_H

#include <cstdint>

namespace smdetail {

inline uint32_t LoadBE(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreBE(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace smdetail

#endif

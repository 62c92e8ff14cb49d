// Base64 codec (standard alphabet, "=" padding) for every Base64 text that enters or leaves the
// system: one-line signatures, certificate content in 76-character lines, signature files, key
// containers and envelopes.
//
// Two layers: buffer functions that write into a buffer the caller sized, and the allocating
// wrappers Base64EncodeEx / Base64DecodeEx, which hand out new[] arrays that the caller delete[]s.
#ifndef VARNELL_SMKERNEL_BASE64_H
#define VARNELL_SMKERNEL_BASE64_H

#include "QovaResult.h"

// Encoder flags. The wrappers accept exactly one of the three values.
constexpr unsigned long ATL_BASE64_FLAG_NONE = 0;    // padding; lines of at most 76 characters, CR LF between
constexpr unsigned long ATL_BASE64_FLAG_NOPAD = 1;   // no "=" padding
constexpr unsigned long ATL_BASE64_FLAG_NOCRLF = 2;  // one line

// Buffer size the encoder needs for nDataSize octets (an upper bound); -1 when nDataSize is
// negative or the size does not fit an int.
int Base64EncodeGetRequiredLength(int nDataSize, unsigned long dwFlags);

// The decoded data is never longer than its text: returns nBase64Size.
int Base64DecodeGetRequiredLength(int nBase64Size);

// Encodes into pszDest of capacity *pnDestSize (no NUL is written); *pnDestSize receives the count
// written. False, with nothing written, on a null argument or a capacity below the required length.
bool Base64Encode(const unsigned char* pbyData, int nDataSize, char* pszDest, int* pnDestSize,
                  unsigned long dwFlags);

// 0-63 for a character of the alphabet, -1 for any other ("=" included).
int DecodeBase64Char(unsigned int c);

// Decodes into pbyDest of capacity *pnDestSize; characters outside the alphabet are skipped and a
// group that would begin at a NUL ends the text. *pnDestSize receives the decoded length, also
// when false is returned: false when the data does not fit (whole groups that fit are written) or
// pbyDest is null (a measuring call).
bool Base64Decode(const char* pszBase64, int nBase64Size, unsigned char* pbyDest, int* pnDestSize);

// NUL-terminated text (new[]); *pnBase64Length (optional) receives its length without the NUL.
unsigned int Base64EncodeEx(unsigned char* pbyData, int nDataSize, char** ppBase64EncodedStr, int* pnBase64Length,
                            unsigned long dwFlags);

// Decodes nDecodeDataSize characters of pszBase64 into a new[] array and its size.
unsigned int Base64DecodeEx(const char* pszBase64, int nDecodeDataSize, unsigned char** ppbyData, int* pnDataSize);

#endif

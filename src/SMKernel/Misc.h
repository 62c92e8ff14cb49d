// Small helpers of the software kernel: the size of an open file, splitting a filter text at a
// separator, and octets as uppercase hexadecimal text.
#ifndef VARNELL_SMKERNEL_MISC_H
#define VARNELL_SMKERNEL_MISC_H

#include "QovaResult.h"

#include <cstdio>
#include <vector>

// Size of the open file; on success the position is back at the start. Files of 2^31 bytes or more
// are refused (QOVA_E_READ_FAULT): callers keep sizes in int.
unsigned int GetFileSize_Ex(FILE* fpFile, unsigned* pnFileSize);

// Appends to tokens the non-empty pieces of pszStr between occurrences of the whole separator
// text; each piece is a strdup() copy. An empty separator is refused (QOVA_E_FAIL).
unsigned int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& tokens);

// free()s every piece and empties the list.
void CleanupStringVector(std::vector<char*>& tokens);

// Two uppercase hex digits per octet (new[]; the caller delete[]s it), from the last octet to the
// first when bReverse is set. A negative size is taken as 0. Fails (QOVA_E_FAIL) only when memory
// runs out.
unsigned int ConvertBinaryDataToString(unsigned char* pbyData, int nDataSize, char** ppszString, bool bReverse);

#endif

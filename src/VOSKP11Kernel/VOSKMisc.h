// File reading and identifier text for the token services.
#ifndef VARNELL_TOKENSVC_VOSK_MISC_H
#define VARNELL_TOKENSVC_VOSK_MISC_H

#include "QovaResult.h"

#include <cstdio>

// Largest file ReadFileSimple reads (10 MiB); a module signature file is a few kilobytes.
constexpr long READ_FILE_MAX_SIZE = 0xA00000;

// Length of a UUID's text form ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx").
constexpr size_t GUID_LEN = 36;

// Reads the whole stream from its start into a new[] buffer of its size plus a zero byte, so that
// a text file comes back NUL-terminated. A file above READ_FILE_MAX_SIZE, and a stream whose size
// cannot be found (a pipe), fail with 0x8007001E. A short read leaves zeros.
unsigned int ReadFileSimple(FILE* fp, unsigned char** ppbyData, int* pnDataSize);

// A new random UUID as its 36-character text (new[], NUL-terminated).
unsigned int CreateGUIDStr(char** ppszGUID);

#endif

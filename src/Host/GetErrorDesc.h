// Localized descriptions of result codes, read from the application's "Localizable" string tables
// (the base one beside the program, and zh-Hans.lproj for Chinese locales).
#ifndef VARNELL_HOST_GET_ERROR_DESC_H
#define VARNELL_HOST_GET_ERROR_DESC_H

#include "VarnellObj.h"

// "<description>(0x%08x)" for the code, looked up under the key "0x%08X" (new[]; released when
// ppszErrorDesc is null). The locales "zh", "zh_CN", "zh_Hans" and "zh_Hans_CN" read the zh-Hans
// table, all others the base one. A code without an entry is described by its key. When the table
// cannot be read at all, nothing is written.
void GetErrorCodeLocalDesc(unsigned int nErrorCode, char** ppszErrorDesc);

// GetErrorCodeLocalDesc for the agent's request; 0 also when no description was found (then
// *ppszErrorDesc is not written), 0x80070057 without an agent.
unsigned int _GetLastErrorDesc(_VarnellObj* pobjCryptoAgent, unsigned int nErrorCode, char** ppszErrorDesc);

#endif

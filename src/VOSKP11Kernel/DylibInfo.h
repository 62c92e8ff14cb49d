// The module list: one DylibInfo entry per row of the compiled-in module table, in table order.
// The list is handed around as an untyped pointer to its head (null for an empty list) and owns
// its entries. Before a certificate search every module is checked (its signature file must
// verify against the trusted chain) and loaded; afterwards every module without open sessions is
// unloaded. Release every certificate record before the list is freed: a record's session keeps
// its module loaded.
#ifndef VARNELL_TOKENSVC_DYLIB_INFO_H
#define VARNELL_TOKENSVC_DYLIB_INFO_H

#include "P11Types.h"

// Builds the list from the first nCount rows {display name, module path}; nothing is loaded.
// nCount 0 or less gives the empty list. 0, or 0x80070057 for a missing table, row text or output.
unsigned int InitDylibInfoList(const char* pszTable[][2], int nCount, void** ppDylibInfoList);

// Unloads (where no session is open) and frees every entry. Always 0.
unsigned int UnitDylibInfoList(void* pDylibInfoList);

// Checks (CheckP11Dylib) and loads every entry, or only those whose path equals pszDylibPath. With
// bVerify each module is loaded from the file that was opened and verified, not by its path again.
// A module that fails its check or its load is left unloaded and the walk goes on.
void LoadDylibInfoList(void* pDylibInfoList, const char* pszDylibPath, bool bVerify, const char** ppszCertChain,
                       int nCertCount);

// Unloads every entry on which no session is open.
void UnloadDylibInfoList(void* pDylibInfoList);

// The first entry whose path equals pszDylibPath (case-sensitive), or null when there is none.
unsigned int GetDylibInfo(const char* pszDylibPath, void* pDylibInfoList, void** ppDylibInfo);

// The module's signature file path (new[]; the caller delete[]s it): the module path with its last
// six characters replaced by ".sig", so "/x/libA.dylib" gives "/x/libA.sig". A path shorter than
// six characters is refused with 0x80070057.
unsigned int ConstructSigFilePathbyDylibPath(const char* pszDylibPath, char** ppszSigFilePath);

#endif

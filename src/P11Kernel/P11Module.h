// Binding a vendor PKCS#11 module: open, initialise, finalise, close.
#ifndef VARNELL_P11_MODULE_H
#define VARNELL_P11_MODULE_H

#include "P11Types.h"

// Binds the entry's module unless it is already bound.
unsigned int LoadP11Dylib(void* pDylibInfo);

// Finalises and closes the module when it is bound and no session is open on it. Always 0.
unsigned int UnLoadP11Dylib(void* pDylibInfo);

// Frees the entry's two strings and the entry (array delete); does not unload. Null is ignored.
unsigned int ReleaseDylibInfo(void* pDylibInfo);

// Opens the library, fetches its function list and initialises it without locking callbacks.
unsigned int CkInitialize(const char* pszModulePath, void** phDLLHandle, CK_FUNCTION_LIST** ppCkFunctionList);

// Finalises the module and closes the library; C_Finalize's answer is only traced.
unsigned int CkUninitialize(void* hDLLHandle, CK_FUNCTION_LIST* pCkFunctionList);

#endif

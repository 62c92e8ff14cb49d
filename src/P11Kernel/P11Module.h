// Binding a vendor PKCS#11 module: open, initialise, finalise, close.
#ifndef VARNELL_P11_MODULE_H
#define VARNELL_P11_MODULE_H

#include "P11Types.h"

// Binds the entry's module unless it is already bound.
unsigned int LoadP11Dylib(void* pDylibInfo);

// LoadP11Dylib from nDylibFd, an open descriptor (above 2) of the module file the caller checked,
// rather than by the entry's path, which may name another file by now; a negative nDylibFd loads
// by the path. The descriptor passes to the entry whatever the outcome: it is closed when the
// entry is already bound or the load fails, else kept until the module is closed again (glibc
// knows the module by the descriptor's name, /proc/self/fd/N, which must not come to name another
// file meanwhile), and longer when the loader keeps the module in the process after dlclose. A
// file that is in the process already (a loaded object's, the main program's, or one refused
// before) is refused without the loader being asked (5, as a library that cannot be opened); so is
// one that the loader hands out as an object loaded under another name, whose descriptor then stays
// open for the life of the process. A standard stream (0 to 2) is refused with 0x80070057 and left
// open. Trace lines name the entry's path.
unsigned int LoadP11DylibFromFile(void* pDylibInfo, int nDylibFd);

// Finalises and closes the module when it is bound and no session is open on it. Always 0.
unsigned int UnLoadP11Dylib(void* pDylibInfo);

// Frees the entry's two strings and the entry (array delete); does not unload. Null is ignored. The
// module file's descriptor is closed, or, while the loader keeps the module under its name, left
// open for the life of the process.
unsigned int ReleaseDylibInfo(void* pDylibInfo);

// Opens the library, fetches its function list and initialises it without locking callbacks.
unsigned int CkInitialize(const char* pszModulePath, void** phDLLHandle, CK_FUNCTION_LIST** ppCkFunctionList);

// Finalises the module and closes the library; C_Finalize's answer is only traced.
unsigned int CkUninitialize(void* hDLLHandle, CK_FUNCTION_LIST* pCkFunctionList);

#endif

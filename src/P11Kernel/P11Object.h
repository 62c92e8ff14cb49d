// Generic reading of token objects: every attribute of an object by a fixed list per class, the
// size of an object, and the data objects of a session.
#ifndef VARNELL_P11_OBJECT_H
#define VARNELL_P11_OBJECT_H

#include "P11Types.h"

#include <vector>

// The object's class and the attributes of that class's list (data objects, certificates, public
// and private keys), appended in list order. An attribute the module will not give (absent or
// sensitive) is kept with a null value and the length the module reported. Values are array-new
// buffers one zero byte longer than their length, owned by the caller (CkCleanVtrAttributes). On
// failure nothing is appended. 0xA0071854 for a class above CKO_PRIVATE_KEY.
unsigned int CkGetObjectAllAttribute(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                     CK_OBJECT_HANDLE hObject, CK_OBJECT_CLASS* pulObjectClass,
                                     std::vector<CK_ATTRIBUTE>& vtrAttributes);

// Frees every value buffer (delete[]) and empties the vector. Always 0.
unsigned int CkCleanVtrAttributes(std::vector<CK_ATTRIBUTE>& vtrAttributes);

// One C_GetObjectSize call.
unsigned int CkGetObjectSize(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                             CK_ULONG* pulSize);

// Appends every data object (CKO_DATA) the session sees. Entries appended before a failure stay.
unsigned int CkGetAllDataValue(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                               std::vector<_DATA_VALUE>& vtrDataValues);

#endif

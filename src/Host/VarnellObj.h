// The agent record: what the host keeps between two requests of one conversation.
#ifndef VARNELL_HOST_VARNELL_OBJ_H
#define VARNELL_HOST_VARNELL_OBJ_H

#include "CertInfo.h"

// One per process, made at start-up with array new and zero-filled, released at termination.
// Main thread only (requests are processed one at a time), so it carries no lock.
struct _VarnellObj
{
    _CERTIFICATE_INFO* m_pSignCertCtx;      // selected signing certificate, owned; null when none
    _CERTIFICATE_INFO* m_pEncryptCertCtx;   // selected encryption certificate, owned; null when none
    int m_nLastError;                       // result code of the last request, for "GetLastErrorDesc"
};

// The process's agent record (null before start-up and after termination); ProcessRequest
// dispatches every request on it.
extern _VarnellObj* g_pobjCryptoAgent;

#endif

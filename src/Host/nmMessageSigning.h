// The request dispatcher: one request text in, one response text out. Five requests are known,
// by name without regard to case: "SelectCertificate", "GetSignCertInfo", "SignMsgPKCS7",
// "GetLastErrorDesc" and "GetVersion". Main thread only, one request at a time.
#ifndef VARNELL_HOST_NM_MESSAGE_SIGNING_H
#define VARNELL_HOST_NM_MESSAGE_SIGNING_H

#include "VarnellObj.h"

#include <cjson/cJSON.h>

// Answers a request on the process's agent record (g_pobjCryptoAgent). *ppszResponse receives the
// response text (new[]; the caller delete[]s it): the handler's response object, or the fallback
// {"function":"<name>", "errorcode":-2146893779, "result":false} when the request does not split
// or names no known function. Always 0.
unsigned int ProcessRequest(const char* pszRequest, char** ppszResponse);

// Runs the handler of a function name (compared without regard to case). The handler's result
// (0), or 0xFFFFFFFF for an unknown name, which is also stored as the agent's last result code;
// then no response object is made.
unsigned int Invoke(_VarnellObj* pobjCryptoAgent, const char* pszFuncName, cJSON* pArgs, cJSON** ppResponse);

// The handlers. Each checks the parameter list, the agent and the item count, converts the items,
// calls one bridge function, builds the response object (release with cJSON_Delete; "result" is
// false whenever "errorcode" is not 0) and stores its result code as the agent's last one. They
// return 0 whatever happened. nmGetVersion checks nothing and leaves the last result code alone.
unsigned int nmSelectCertificate(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse);
unsigned int nmGetSignCertInfo(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse);
unsigned int nmSignMsgPKCS7(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse);
unsigned int nmGetLastErrorDesc(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse);
unsigned int nmGetVersion(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse);

#endif

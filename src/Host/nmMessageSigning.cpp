#include "nmMessageSigning.h"

#include "CryptoBridge.h"
#include "GetErrorDesc.h"
#include "HostDetail.h"
#include "JSONHolders.h"
#include "JSONUtility.h"

#include <strings.h>

#include <string>

namespace {

using host::TextPtr;

constexpr char kVersion[] = "3.0.0.6";

// What a bridge call leaves for "result": a flag or a text.
struct ResultValue
{
    bool bFlag = false;
    TextPtr text;
};

// The work of one request after the shared checks: convert the items, call the bridge. Steps are
// traced in the name of the handler, pszHandler.
using RunRequest = unsigned int (*)(const char* pszHandler, _VarnellObj* pobjCryptoAgent, const cJSON* pArgs,
                                    ResultValue* pValue);
using HandlerEntry = unsigned int (*)(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse);

constexpr int kArgsNotChecked = -1;

// One row per request.
struct RequestHandler
{
    const char* name;           // as a request names it (any case) and the response carries it
    const char* handler;        // the handler's own name, for its trace lines
    HandlerEntry entry;         // the handler Invoke runs
    int nArgsCount;             // exact item count; kArgsNotChecked: no checks, last result code kept
    unsigned int nResultType;   // type of "result" on success
    RunRequest run;
};

// Item nIndex as a text copy; a failed conversion is traced as the handler's step.
unsigned int ReadText(const char* pszHandler, const char* pszStep, const cJSON* pArgs, int nIndex, TextPtr* pText)
{
    char* pszItem = NULL;
    const unsigned int nResult = ConverJSONArrayItemtoNULLEndString(pArgs, nIndex, &pszItem);
    pText->reset(pszItem);
    QOVA_FAIL_IF_IN(pszHandler, QOVA_OK != nResult, nResult, pszStep);
    return QOVA_OK;
}

unsigned int RunSelectCertificate(const char* pszHandler, _VarnellObj* pobjCryptoAgent, const cJSON* pArgs,
                                  ResultValue* pValue)
{
    TextPtr subject;
    TextPtr issuer;
    TextPtr serial;
    unsigned int nResult = ReadText(pszHandler, "ConverJSONArrayItemtoNULLEndString(SubjectDNFilter)", pArgs, 0, &subject);
    if (QOVA_OK == nResult)
        nResult = ReadText(pszHandler, "ConverJSONArrayItemtoNULLEndString(IssuerDNFilter)", pArgs, 1, &issuer);
    if (QOVA_OK == nResult)
        nResult = ReadText(pszHandler, "ConverJSONArrayItemtoNULLEndString(SNFilter)", pArgs, 2, &serial);
    if (QOVA_OK != nResult)
        return nResult;
    // Item 3 is not read: whatever it holds, only the three filters count.
    nResult = _SelectCertificate(pobjCryptoAgent, subject.get(), issuer.get(), serial.get(), &pValue->bFlag);
    QOVA_FAIL_IF_IN(pszHandler, QOVA_OK != nResult, nResult, "_SelectCertificate");
    return QOVA_OK;
}

unsigned int RunGetSignCertInfo(const char* pszHandler, _VarnellObj* pobjCryptoAgent, const cJSON* pArgs,
                                ResultValue* pValue)
{
    TextPtr infoType;
    unsigned int nResult = ReadText(pszHandler, "ConverJSONArrayItemtoNULLEndString", pArgs, 0, &infoType);
    if (QOVA_OK != nResult)
        return nResult;
    HOST_TRACE(3, "pszUTF8InfoType: %s", QovaTraceText(infoType.get()).c_str());
    char* pszInfo = NULL;
    nResult = _GetSignCertInfo(pobjCryptoAgent, infoType.get(), &pszInfo);
    pValue->text.reset(pszInfo);
    QOVA_FAIL_IF_IN(pszHandler, QOVA_OK != nResult, nResult, "_GetSignCertInfo");
    return QOVA_OK;
}

unsigned int RunSignMsgPKCS7(const char* pszHandler, _VarnellObj* pobjCryptoAgent, const cJSON* pArgs,
                             ResultValue* pValue)
{
    TextPtr source;
    TextPtr hashAlg;
    bool bWithSrc = false;
    unsigned int nResult = ReadText(pszHandler, "ConverJSONArrayItemtoNULLEndString", pArgs, 0, &source);
    if (QOVA_OK != nResult)
        return nResult;
    HOST_TRACE(3, "pszSrcData: %s", QovaTraceText(source.get()).c_str());
    nResult = ReadText(pszHandler, "ConverJSONArrayItemtoNULLEndString", pArgs, 1, &hashAlg);
    if (QOVA_OK != nResult)
        return nResult;
    HOST_TRACE(3, "pszHashAlg: %s", QovaTraceText(hashAlg.get()).c_str());
    nResult = ConverJSONArrayItemtobool(pArgs, 2, &bWithSrc);
    QOVA_FAIL_IF_IN(pszHandler, QOVA_OK != nResult, nResult, "ConverJSONArrayItemtobool(bWithSrc)");

    char* pszSignature = NULL;
    nResult = _SignMsgPKCS7(pobjCryptoAgent, source.get(), hashAlg.get(), bWithSrc, &pszSignature);
    pValue->text.reset(pszSignature);
    QOVA_FAIL_IF_IN(pszHandler, QOVA_OK != nResult, nResult, "_SignMsgPKCS7");
    return QOVA_OK;
}

unsigned int RunGetLastErrorDesc(const char* pszHandler, _VarnellObj* pobjCryptoAgent, const cJSON*,
                                 ResultValue* pValue)
{
    char* pszDescription = NULL;
    const unsigned int nResult = _GetLastErrorDesc(
        pobjCryptoAgent, static_cast<unsigned int>(pobjCryptoAgent->m_nLastError), &pszDescription);
    // No description found: success all the same, and the response carries no "result".
    pValue->text.reset(pszDescription);
    QOVA_FAIL_IF_IN(pszHandler, QOVA_OK != nResult, nResult, "_GetLastErrorDesc");
    return QOVA_OK;
}

unsigned int RunGetVersion(const char*, _VarnellObj*, const cJSON*, ResultValue* pValue)
{
    pValue->text.reset(host::CopyText(kVersion));
    return pValue->text ? QOVA_OK : QOVA_E_FAIL;
}

enum HandlerIndex { kSelectCertificate, kGetSignCertInfo, kSignMsgPKCS7, kGetLastErrorDesc, kGetVersion };

// Looked up in this order; every check comes before any token is touched.
const RequestHandler kHandlers[] = {
    {"SelectCertificate", "nmSelectCertificate", nmSelectCertificate, 4, QOVA_RESULT_TYPE_TRUE, RunSelectCertificate},
    {"GetSignCertInfo", "nmGetSignCertInfo", nmGetSignCertInfo, 1, QOVA_RESULT_TYPE_STRING, RunGetSignCertInfo},
    {"SignMsgPKCS7", "nmSignMsgPKCS7", nmSignMsgPKCS7, 3, QOVA_RESULT_TYPE_STRING, RunSignMsgPKCS7},
    {"GetLastErrorDesc", "nmGetLastErrorDesc", nmGetLastErrorDesc, 0, QOVA_RESULT_TYPE_STRING, RunGetLastErrorDesc},
    {"GetVersion", "nmGetVersion", nmGetVersion, kArgsNotChecked, QOVA_RESULT_TYPE_STRING, RunGetVersion},
};

// Checks shared by the handlers, then the request's own work.
unsigned int CheckAndRun(const RequestHandler& row, _VarnellObj* pobjCryptoAgent, const cJSON* pArgs,
                         ResultValue* pValue)
{
    if (kArgsNotChecked != row.nArgsCount) {
        QOVA_FAIL_IF_IN(row.handler, NULL == pArgs, QOVA_E_INVALIDARG, "Check parameter(pArgs)");
        QOVA_FAIL_IF_IN(row.handler, NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check parameter(pobjCryptoAgent)");
        const int nArgsCount = cJSON_GetArraySize(pArgs);
        const bool bCountWrong = row.nArgsCount != nArgsCount;
        if (QovaLogEnabled()) {
            // The reason names the count this request needs, as in "4 != nArgsCount".
            const std::string reason = std::to_string(row.nArgsCount) + " != nArgsCount";
            if (bCountWrong)
                QovaTraceStepFailed(__FILE__, __LINE__, row.handler, "Check parameter(Args count)", QOVA_E_INVALIDARG,
                                    reason.c_str());
            else
                QovaTraceStepOK(__FILE__, __LINE__, row.handler, "Check parameter(Args count)");
        }
        if (bCountWrong)
            return QOVA_E_INVALIDARG;
    }
    // A text cut short at an escaped NUL anywhere in the list refuses the request, read or not.
    QOVA_FAIL_IF_IN(row.handler, JSONHasTextCutAtNUL(pArgs), QOVA_E_PARAM_TYPE, "Check parameter(texts)");
    return row.run(row.handler, pobjCryptoAgent, pArgs, pValue);
}

unsigned int HandleRequest(const RequestHandler& row, _VarnellObj* pobjCryptoAgent, const cJSON* pArgs,
                           cJSON** ppResponse)
{
    TraceHelper trace(row.handler);
    ResultValue value;
    const unsigned int nResult = CheckAndRun(row, pobjCryptoAgent, pArgs, &value);

    const unsigned char byFlag = value.bFlag ? 1 : 0;
    const void* pValue = QOVA_RESULT_TYPE_STRING == row.nResultType ? static_cast<const void*>(value.text.get())
                                                                    : static_cast<const void*>(&byFlag);
    cJSON* pResponse = NULL;
    // Without an object the dispatcher answers with the fallback text.
    ConstructResponseJSON(row.name, static_cast<int>(nResult), row.nResultType, pValue, &pResponse);
    CJsonPtr response(pResponse);

    if (kArgsNotChecked != row.nArgsCount && pobjCryptoAgent)
        pobjCryptoAgent->m_nLastError = static_cast<int>(nResult);
    if (ppResponse)
        *ppResponse = response.release();
    return QOVA_OK;
}

}  // namespace

unsigned int nmSelectCertificate(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse)
{
    return HandleRequest(kHandlers[kSelectCertificate], pobjCryptoAgent, pArgs, ppResponse);
}

unsigned int nmGetSignCertInfo(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse)
{
    return HandleRequest(kHandlers[kGetSignCertInfo], pobjCryptoAgent, pArgs, ppResponse);
}

unsigned int nmSignMsgPKCS7(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse)
{
    return HandleRequest(kHandlers[kSignMsgPKCS7], pobjCryptoAgent, pArgs, ppResponse);
}

unsigned int nmGetLastErrorDesc(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse)
{
    return HandleRequest(kHandlers[kGetLastErrorDesc], pobjCryptoAgent, pArgs, ppResponse);
}

unsigned int nmGetVersion(_VarnellObj* pobjCryptoAgent, cJSON* pArgs, cJSON** ppResponse)
{
    return HandleRequest(kHandlers[kGetVersion], pobjCryptoAgent, pArgs, ppResponse);
}

unsigned int Invoke(_VarnellObj* pobjCryptoAgent, const char* pszFuncName, cJSON* pArgs, cJSON** ppResponse)
{
    TraceHelper trace("Invoke");
    HOST_TRACE(3, "Invoke: name = %s", QovaTraceText(pszFuncName).c_str());
    for (const RequestHandler& row : kHandlers) {
        if (pszFuncName && 0 == strcasecmp(pszFuncName, row.name))
            return row.entry(pobjCryptoAgent, pArgs, ppResponse);
    }
    HOST_TRACE(1, "Invalid function.");
    HOST_TRACE(3, "Invoke: name = %s, errorcode: 0x%08x", QovaTraceText(pszFuncName).c_str(), QOVA_E_FAIL);
    if (pobjCryptoAgent)
        pobjCryptoAgent->m_nLastError = static_cast<int>(QOVA_E_FAIL);
    return QOVA_E_FAIL;
}

unsigned int ProcessRequest(const char* pszRequest, char** ppszResponse)
{
    TraceHelper trace("ProcessRequest");
    HOST_TRACE(3, "pszRequest: %s", QovaTraceText(pszRequest).c_str());

    char* pszRandomId = NULL;
    char* pszFuncName = NULL;
    cJSON* pArgs = NULL;
    unsigned int nResult = ParseRequestMsgToJSON(pszRequest, &pszRandomId, &pszFuncName, &pArgs);
    const TextPtr randomId(pszRandomId);
    const TextPtr funcName(pszFuncName);
    const CJsonPtr args(pArgs);
    HOST_TRACE(3, "ParseRequestMsgToJSON: 0x%08x", nResult);

    cJSON* pResponse = NULL;
    if (QOVA_OK == nResult) {
        nResult = Invoke(g_pobjCryptoAgent, funcName.get(), args.get(), &pResponse);
        HOST_TRACE(3, "Invoke: 0x%08x", nResult);
    }
    const CJsonPtr response(pResponse);

    char* pszResponse = NULL;
    nResult = ConvertJSONToResponseMsg(randomId.get(), funcName.get(), response.get(), &pszResponse);
    HOST_TRACE(3, "ConvertJSONToResponseMsg: 0x%08x", nResult);
    host::HandOut(TextPtr(pszResponse), ppszResponse);
    return QOVA_OK;
}

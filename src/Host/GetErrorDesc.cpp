#include "GetErrorDesc.h"

#include "HostDetail.h"

#include "platform/AutoreleasePool.h"
#include "platform/Bundle.h"
#include "platform/Locale.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

// Exactly these identifiers read the Chinese table; "zh_TW", "zh_Hans_HK" or "zh-Hans" do not.
bool IsChineseLocale(const std::string& localeIdentifier)
{
    for (const char* pszChinese : {"zh", "zh_CN", "zh_Hans", "zh_Hans_CN"}) {
        if (localeIdentifier == pszChinese)
            return true;
    }
    return false;
}

}  // namespace

void GetErrorCodeLocalDesc(unsigned int nErrorCode, char** ppszErrorDesc)
{
    TraceHelper trace("GetErrorCodeLocalDesc");
    platform::AutoreleasePool pool;

    char szKey[16] = {0};
    snprintf(szKey, sizeof(szKey), "0x%08X", nErrorCode);

    std::shared_ptr<platform::Bundle> bundle = platform::Bundle::MainBundle();
    if (IsChineseLocale(platform::Locale::CurrentLocaleIdentifier()))
        bundle = platform::Bundle::BundleWithPath(bundle->PathForResource("zh-Hans", "lproj"));

    // A missing bundle gives no text; a missing key gives the key itself. The locale chose the
    // table above: no localization of the bundle's own may be preferred here, or the dialogs' wider
    // rule (zh-Hans.lproj for zh_SG or zh_Hans_HK) would answer in Chinese where the base applies.
    std::string description;
    const char* pszErrDescript = NULL;
    if (bundle) {
        description = bundle->LocalizedStringForKey(szKey, "", "Localizable", "");
        pszErrDescript = description.c_str();
    }
    HOST_TRACE(3, "pszErrorDesc is %s", QovaTraceText(pszErrDescript).c_str());
    if (QOVA_STEP_FAILED(NULL == pszErrDescript || 0 == strlen(pszErrDescript), QOVA_E_FAIL, "Check Description"))
        return;

    const size_t nSize = description.size() + 16;
    host::TextPtr info(new (std::nothrow) char[nSize]);
    if (QOVA_STEP_FAILED(nullptr == info, QOVA_E_FAIL, "New memory"))
        return;
    snprintf(info.get(), nSize, "%s(0x%08x)", pszErrDescript, nErrorCode);
    HOST_TRACE(3, "pszErrorInfo is %s", QovaTraceText(info.get()).c_str());
    host::HandOut(std::move(info), ppszErrorDesc);
}

unsigned int _GetLastErrorDesc(_VarnellObj* pobjCryptoAgent, unsigned int nErrorCode, char** ppszErrorDesc)
{
    TraceHelper trace("_GetLastErrorDesc");
    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check parameter(obj)");

    char* pszErrorDesc = NULL;
    GetErrorCodeLocalDesc(nErrorCode, &pszErrorDesc);
    host::TextPtr description(pszErrorDesc);
    HOST_TRACE(3, "ErrorDesc: %s", QovaTraceText(pszErrorDesc).c_str());
    if (description)
        host::HandOut(std::move(description), ppszErrorDesc);
    return QOVA_OK;
}

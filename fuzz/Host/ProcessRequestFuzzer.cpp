// Arbitrary request texts through the dispatcher, on an agent whose module table holds no module.
// Every answer must be one JSON object in UTF-8: the extension parses whatever comes back.
#include "CryptoBridge.h"
#include "JSONHolders.h"
#include "JSONUtilityDetail.h"
#include "nmMessageSigning.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // No dialog can come up without a module, but never let one wait for a user.
    setenv("PLATFORM_DIALOG_BACKEND", "none", 1);
    if (0 != InitVOSKContext())
        abort();
    g_pobjCryptoAgent = new _VarnellObj[1]();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The framing layer hands a NUL-terminated copy of the body.
    const std::string request(reinterpret_cast<const char*>(data), size);
    char* pszResponse = nullptr;
    if (0 != ProcessRequest(request.c_str(), &pszResponse) || nullptr == pszResponse)
        abort();
    const CJsonPtr answer(cJSON_Parse(pszResponse));
    if (!cJSON_IsObject(answer.get()))
        abort();
    const std::unique_ptr<char[]> utf8(CopyAsUTF8(pszResponse));
    if (!utf8 || 0 != strcmp(utf8.get(), pszResponse))
        abort();
    delete[] pszResponse;
    return 0;
}

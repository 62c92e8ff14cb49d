// Arbitrary bytes as the browser's side of the pipe: frames are read until a disconnect, every frame
// and the whole input are split as requests, their items read, and answers built, printed, framed
// and read back. Every answer must be UTF-8 JSON that gives back the request's name and randomId
// (as UTF-8).
#include "IOStream.h"
#include "JSONHolders.h"
#include "JSONUtility.h"
#include "JSONUtilityDetail.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kMaxFrames = 16;
constexpr int kMaxItems = 8;

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

int MemFdWith(const void* data, size_t size)
{
    const int fd = memfd_create("frames", MFD_CLOEXEC);
    Require(fd >= 0);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, static_cast<const char*>(data) + done, size - done);
        Require(n > 0);
        done += static_cast<size_t>(n);
    }
    Require(0 == lseek(fd, 0, SEEK_SET));
    return fd;
}

// Text as an answer carries it: ill-formed UTF-8 replaced.
std::string AsUTF8(const char* pszText)
{
    const std::unique_ptr<char[]> copy(CopyAsUTF8(pszText));
    Require(nullptr != copy);
    return copy.get();
}

// The answer must be UTF-8, parse, name the function and carry the randomId when one is given.
void CheckAnswer(const char* pszAnswer, const char* pszFuncName, const char* pszRandomId)
{
    Require(nullptr != pszAnswer);
    Require(AsUTF8(pszAnswer) == pszAnswer);
    const CJsonPtr parsed(cJSON_Parse(pszAnswer));
    Require(cJSON_IsObject(parsed.get()));
    const cJSON* pFunction = cJSON_GetObjectItemCaseSensitive(parsed.get(), "function");
    Require(cJSON_IsString(pFunction) && AsUTF8(pszFuncName) == pFunction->valuestring);
    Require(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(parsed.get(), "errorcode")));
    const cJSON* pRandomId = cJSON_GetObjectItemCaseSensitive(parsed.get(), "randomId");
    if (pszRandomId && *pszRandomId)
        Require(cJSON_IsString(pRandomId) && AsUTF8(pszRandomId) == pRandomId->valuestring);
    else
        Require(nullptr == pRandomId);
}

// The writer's frame must come back through the reader unchanged (texts with a NUL inside are cut
// there by both sides alike).
void CheckFrameRoundTrip(const char* pszText)
{
    const int fd = memfd_create("answer", MFD_CLOEXEC);
    Require(fd >= 0);
    const size_t nLength = strlen(pszText);
    const unsigned int nResult = WriteToNativeMessaging(fd, pszText);
    Require((nLength <= NATIVE_MSG_MAX_OUTGOING_SIZE) == (0 == nResult));
    Require(0 == lseek(fd, 0, SEEK_SET));
    char* pszBack = nullptr;
    int nBackLength = -1;
    Require(0 == ReadFromNativeMessaging(fd, &pszBack, &nBackLength));
    std::unique_ptr<char[]> back(pszBack);
    if (0 == nLength || nLength > NATIVE_MSG_MAX_OUTGOING_SIZE)
        Require(nullptr == pszBack && 0 == nBackLength);  // both lengths mean the end of the conversation
    else
        Require(nullptr != pszBack && static_cast<size_t>(nBackLength) == nLength && 0 == strcmp(pszBack, pszText));
    close(fd);
}

void ExerciseRequest(const char* pszRequest)
{
    char* pszRandomId = nullptr;
    char* pszFuncName = nullptr;
    cJSON* pParams = nullptr;
    if (0 != ParseRequestMsgToJSON(pszRequest, &pszRandomId, &pszFuncName, &pParams)) {
        Require(nullptr == pszRandomId && nullptr == pszFuncName && nullptr == pParams);
        return;
    }
    const std::unique_ptr<char[]> randomId(pszRandomId);
    const std::unique_ptr<char[]> funcName(pszFuncName);
    const CJsonPtr params(pParams);
    Require(nullptr != pszFuncName && nullptr != pParams);

    // Only an escaped NUL marks a text as cut short.
    Require(!JSONHasTextCutAtNUL(pParams) || nullptr != strstr(pszRequest, "\\u0000"));
    std::unique_ptr<char[]> firstText;
    for (int i = -1; i <= kMaxItems; ++i) {
        char* pszItem = nullptr;
        if (0 == ConverJSONArrayItemtoNULLEndString(pParams, i, &pszItem) && !firstText)
            firstText.reset(pszItem);
        else
            delete[] pszItem;
        bool bValue = false;
        ConverJSONArrayItemtobool(pParams, i, &bValue);
        int nValue = 0;
        ConverJSONArrayItemtoint(pParams, i, &nValue);
    }

    // An answer object (refused for an empty name), then the fallback answer.
    cJSON* pResponse = nullptr;
    ConstructResponseJSON(pszFuncName, 0, QOVA_RESULT_TYPE_STRING, firstText ? firstText.get() : "", &pResponse);
    const CJsonPtr response(pResponse);
    for (cJSON* pObject : {pResponse, static_cast<cJSON*>(nullptr)}) {
        char* pszAnswer = nullptr;
        Require(0 == ConvertJSONToResponseMsg(pszRandomId, pszFuncName, pObject, &pszAnswer));
        const std::unique_ptr<char[]> answer(pszAnswer);
        CheckAnswer(pszAnswer, pszFuncName, pszRandomId);
        CheckFrameRoundTrip(pszAnswer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = MemFdWith(data, size);
    for (int i = 0; i < kMaxFrames; ++i) {
        char* pszMsg = nullptr;
        int nLength = -1;
        const unsigned int nResult = ReadFromNativeMessaging(fd, &pszMsg, &nLength);
        Require(0 == nResult);
        if (nullptr == pszMsg) {
            Require(0 == nLength);
            break;
        }
        const std::unique_ptr<char[]> msg(pszMsg);
        Require(nLength > 0 && static_cast<size_t>(nLength) <= size && '\0' == pszMsg[nLength]);
        ExerciseRequest(pszMsg);
    }
    close(fd);

    const std::string whole(reinterpret_cast<const char*>(data), size);
    ExerciseRequest(whole.c_str());
    return 0;
}

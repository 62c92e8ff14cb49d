#include "VOSKMisc.h"

#include "TokenSvcDetail.h"

#include <cstring>
#include <memory>
#include <new>
#include <uuid/uuid.h>

unsigned int ReadFileSimple(FILE* fp, unsigned char** ppbyData, int* pnDataSize)
{
    TraceHelper trace("ReadFileSimple");
    QOVA_FAIL_IF(NULL == fp || NULL == ppbyData || NULL == pnDataSize, QOVA_E_INVALIDARG, "Check Parameters");

    // A stream without a position answers -1 here; taken as a size it would pass the limit and
    // ask for a read of SIZE_MAX bytes into an empty buffer.
    QOVA_FAIL_IF(0 != fseek(fp, 0, SEEK_END), QOVA_E_READ_FAULT, "fseek(SEEK_END)");
    const long nDataSize = ftell(fp);
    QOVA_FAIL_IF(nDataSize < 0, QOVA_E_READ_FAULT, "ftell");
    TOKENSVC_TRACE("FileSize: %d", static_cast<int>(nDataSize));
    QOVA_FAIL_IF(0 != fseek(fp, 0, SEEK_SET), QOVA_E_READ_FAULT, "fseek(SEEK_SET)");
    QOVA_FAIL_IF(nDataSize > READ_FILE_MAX_SIZE, QOVA_E_READ_FAULT, "Check File Size");

    const size_t nSize = static_cast<size_t>(nDataSize);
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[nSize + 1]());
    QOVA_FAIL_IF(NULL == data, QOVA_E_FAIL, "New memory");
    // The count is not checked: a file that shrank meanwhile leaves zeros at the end.
    const size_t nRead = fread(data.get(), 1, nSize, fp);
    (void)nRead;

    *ppbyData = data.release();
    *pnDataSize = static_cast<int>(nDataSize);
    return QOVA_OK;
}

unsigned int CreateGUIDStr(char** ppszGUID)
{
    TraceHelper trace("CreateGUIDStr");
    QOVA_FAIL_IF(NULL == ppszGUID, QOVA_E_INVALIDARG, "Check ppszGUID");

    std::unique_ptr<char[]> guid(new (std::nothrow) char[GUID_LEN + 1]());
    QOVA_FAIL_IF(NULL == guid, QOVA_E_FAIL, "New memory");
    uuid_t uuid;
    uuid_generate(uuid);
    TOKENSVC_TRACE("__APPLE__");
    uuid_unparse(uuid, guid.get());
    const char* pszGUID = guid.get();
    TOKENSVC_TRACE("pszGUID: %s", pszGUID);
    QOVA_FAIL_IF(NULL == pszGUID || GUID_LEN != strlen(pszGUID), QOVA_E_INTERNAL, "Check GUID");

    *ppszGUID = guid.release();
    return QOVA_OK;
}

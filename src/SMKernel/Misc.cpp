#include "Misc.h"

#include "QovaTrace.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

unsigned int GetFileSize_Ex(FILE* fpFile, unsigned* pnFileSize)
{
    QOVA_FAIL_IF(NULL == fpFile || NULL == pnFileSize, QOVA_E_INVALIDARG, "Check parameter");

    int nRet = fseeko(fpFile, 0, SEEK_END);
    QOVA_FAIL_IF(0 != nRet, QOVA_E_FAIL, "fseek(SEEK_END)");

    const off_t nPosition = ftello(fpFile);
    // ferror() misses a failed position query on some streams (pipes): test -1 itself.
    QOVA_FAIL_IF(ferror(fpFile) || nPosition < 0, QOVA_E_FAIL, "ftell");

    nRet = fseeko(fpFile, 0, SEEK_SET);
    QOVA_FAIL_IF(0 != nRet, QOVA_E_FAIL, "fseek(SEEK_SET)");

    // Callers hold sizes in int; a larger file would be processed in part and reported as done.
    QOVA_FAIL_IF(nPosition > INT_MAX, QOVA_E_READ_FAULT, "Check file size");

    *pnFileSize = static_cast<unsigned>(nPosition);
    return QOVA_OK;
}

unsigned int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& tokens)
{
    QOVA_FAIL_IF(NULL == pszSplit, QOVA_E_FAIL, "Check parameter(split)");
    // An empty separator has no occurrence to step past.
    QOVA_FAIL_IF('\0' == *pszSplit, QOVA_E_FAIL, "Check parameter(split)");
    if (NULL == pszStr || '\0' == *pszStr) return QOVA_OK;

    const size_t nSplitLen = strlen(pszSplit);
    std::vector<char*> pieces;
    const char* pszPos = pszStr;
    for (;;) {
        const char* pszNext = strstr(pszPos, pszSplit);
        const size_t nLen = pszNext ? static_cast<size_t>(pszNext - pszPos) : strlen(pszPos);
        if (nLen > 0) {
            char* pszPiece = strndup(pszPos, nLen);
            if (QOVA_STEP_FAILED(NULL == pszPiece, QOVA_E_FAIL, "strdup(piece)")) {
                CleanupStringVector(pieces);
                return QOVA_E_FAIL;
            }
            pieces.push_back(pszPiece);
        }
        if (!pszNext) break;
        pszPos = pszNext + nSplitLen;
    }
    tokens.insert(tokens.end(), pieces.begin(), pieces.end());
    return QOVA_OK;
}

void CleanupStringVector(std::vector<char*>& tokens)
{
    for (char*& pszPiece : tokens) {
        free(pszPiece);
        pszPiece = NULL;
    }
    tokens.clear();
}

unsigned int ConvertBinaryDataToString(unsigned char* pbyData, int nDataSize, char** ppszString, bool bReverse)
{
    static const char kHex[] = "0123456789ABCDEF";
    QOVA_FAIL_IF(NULL == ppszString, QOVA_E_INVALIDARG, "Check parameter");
    if (nDataSize < 0 || NULL == pbyData) nDataSize = 0;

    // The size follows outside data (a serial, a key identifier): no exception on a failed allocation.
    char* pszText = new (std::nothrow) char[2 * static_cast<size_t>(nDataSize) + 1]();
    QOVA_FAIL_IF(NULL == pszText, QOVA_E_FAIL, "New memory");
    for (int i = 0; i < nDataSize; ++i) {
        const unsigned char byValue = pbyData[bReverse ? nDataSize - 1 - i : i];
        pszText[2 * i] = kHex[byValue >> 4];
        pszText[2 * i + 1] = kHex[byValue & 0x0F];
    }
    *ppszString = pszText;
    return QOVA_OK;
}

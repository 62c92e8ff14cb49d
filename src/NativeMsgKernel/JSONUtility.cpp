#include "JSONUtility.h"

#include "JSONHolders.h"
#include "JSONUtilityDetail.h"
#include "QovaTrace.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr char kParamKey[] = "param";

// cJSON keeps flag bits above the type byte; compare types without them.
int TypeOf(const cJSON* pItem)
{
    return pItem ? (pItem->type & 0xFF) : cJSON_Invalid;
}

// cJSON keeps no string length: "\u0000" in a request ends a text early and nothing in the parsed
// tree shows it. The parser marks such texts with these bits beside cJSON's type byte; cJSON itself
// masks the type with 0xFF, uses only the two bits above it (cJSON_IsReference, cJSON_StringIsConst)
// and keeps the others through cJSON_Duplicate.
constexpr int kNameCutAtNUL = 1 << 14;   // the item's member name
constexpr int kValueCutAtNUL = 1 << 15;  // the item's string value

bool NameCutAtNUL(const cJSON* pItem)
{
    return pItem && 0 != (pItem->type & kNameCutAtNUL);
}

bool ValueCutAtNUL(const cJSON* pItem)
{
    return pItem && 0 != (pItem->type & kValueCutAtNUL);
}

bool CutAtNUL(const cJSON* pItem)
{
    return NameCutAtNUL(pItem) || ValueCutAtNUL(pItem);
}

// What cJSON made of one string token of a request.
enum class TokenText {
    kWhole,     // the text as sent
    kCutAtNUL,  // "\u0000": the text ends there, the request is JSON all the same
    kNotJSON,   // "\u" without four hexadecimal digits, which cJSON also reads as U+0000
};

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The four characters after "\u" (at p) as cJSON's parse_hex4 reads them: it gives 0 as soon as one
// of them is not a hexadecimal digit. A NUL among them stops the scan before it reads past the text.
TokenText ClassifyUnicodeEscape(const char* p)
{
    bool bZero = true;
    for (int i = 0; i < 4; ++i) {
        if (!IsHexDigit(p[i]))
            return TokenText::kNotJSON;
        bZero = bZero && '0' == p[i];
    }
    return bZero ? TokenText::kCutAtNUL : TokenText::kWhole;
}

// The string tokens of a request text in document order, read as cJSON reads them: a quote opens
// a string, a backslash takes the character after it along, a quote closes it. Outside strings a
// text that cJSON parsed holds no quote, so the tokens line up with the parsed tree's texts.
class StringTokens
{
public:
    explicit StringTokens(const char* pszText) : m_p(pszText) {}

    // What the next string token holds; kWhole once the text has ended. A token that is not JSON
    // is not read to its end: nothing after it is looked at.
    TokenText Next()
    {
        while ('\0' != *m_p && '"' != *m_p)
            ++m_p;
        if ('\0' == *m_p)
            return TokenText::kWhole;
        ++m_p;
        TokenText text = TokenText::kWhole;
        while ('\0' != *m_p && '"' != *m_p) {
            if ('\\' == *m_p) {
                ++m_p;
                if ('\0' == *m_p)
                    break;
                // cJSON decodes the escape from the four characters after "u" whatever they are
                // (a backslash or quote among them included); valid digits hold neither, so
                // reading on one character at a time stays in step with it.
                if ('u' == *m_p) {
                    const TokenText escape = ClassifyUnicodeEscape(m_p + 1);
                    if (TokenText::kNotJSON == escape)
                        return escape;
                    if (TokenText::kCutAtNUL == escape)
                        text = escape;
                }
            }
            ++m_p;
        }
        if ('"' == *m_p)
            ++m_p;
        return text;
    }

private:
    const char* m_p;
};

// Reads the item's next text token and marks the item with nMark when an escaped NUL cut it short;
// false when the token is not JSON.
bool MarkNextToken(cJSON* pItem, int nMark, StringTokens* pTokens)
{
    const TokenText text = pTokens->Next();
    if (TokenText::kCutAtNUL == text)
        pItem->type |= nMark;
    return TokenText::kNotJSON != text;
}

// Marks the texts of a parsed tree that held an escaped NUL, visiting them in document order: a
// member's name before its value. False, and the walk stops, at a text that is not JSON. Depth is
// bounded by cJSON's nesting limit.
bool MarkTextsCutAtNUL(cJSON* pItem, bool bMember, StringTokens* pTokens)
{
    if (bMember && !MarkNextToken(pItem, kNameCutAtNUL, pTokens))
        return false;
    const int nType = TypeOf(pItem);
    if (cJSON_String == nType)
        return MarkNextToken(pItem, kValueCutAtNUL, pTokens);
    if (cJSON_Array == nType || cJSON_Object == nType) {
        for (cJSON* pChild = pItem->child; pChild; pChild = pChild->next) {
            if (!MarkTextsCutAtNUL(pChild, cJSON_Object == nType, pTokens))
                return false;
        }
    }
    return true;
}

bool TreeHasTextCutAtNUL(const cJSON* pItem)
{
    if (ValueCutAtNUL(pItem))
        return true;
    for (const cJSON* pChild = pItem->child; pChild; pChild = pChild->next) {
        if (NameCutAtNUL(pChild) || TreeHasTextCutAtNUL(pChild))
            return true;
    }
    return false;
}

// The UTF-8 sequence at p: its length when it is well-formed (*pbWellFormed true), else the length
// of its longest well-formed start (at least 1), which one U+FFFD replaces, as browsers decode it.
// A NUL ends every sequence, so nothing past the text is read.
size_t ScanUTF8(const unsigned char* p, bool* pbWellFormed)
{
    *pbWellFormed = true;
    const unsigned char byLead = p[0];
    if (byLead < 0x80)
        return 1;
    size_t nTrail = 0;
    unsigned char byLow = 0x80;   // range of the byte after the lead; 80..BF for the rest
    unsigned char byHigh = 0xBF;
    if (byLead >= 0xC2 && byLead <= 0xDF) {
        nTrail = 1;
    } else if (byLead >= 0xE0 && byLead <= 0xEF) {
        nTrail = 2;
        byLow = 0xE0 == byLead ? 0xA0 : 0x80;   // no overlong forms
        byHigh = 0xED == byLead ? 0x9F : 0xBF;  // no surrogates
    } else if (byLead >= 0xF0 && byLead <= 0xF4) {
        nTrail = 3;
        byLow = 0xF0 == byLead ? 0x90 : 0x80;   // no overlong forms
        byHigh = 0xF4 == byLead ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        *pbWellFormed = false;
        return 1;
    }
    for (size_t n = 1; n <= nTrail; ++n) {
        if (p[n] < byLow || p[n] > byHigh) {
            *pbWellFormed = false;
            return n;
        }
        byLow = 0x80;
        byHigh = 0xBF;
    }
    return nTrail + 1;
}

// The end of the run of ASCII bytes that starts at i, among the nLength bytes at p: 32 and then 8
// bytes at a time while whole words are ASCII, the rest one byte at a time.
size_t AsciiRunEnd(const unsigned char* p, size_t i, size_t nLength)
{
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    uint64_t nWords[4];
    while (nLength - i >= sizeof(nWords)) {
        memcpy(nWords, p + i, sizeof(nWords));
        if (0 != ((nWords[0] | nWords[1] | nWords[2] | nWords[3]) & kHighBits))
            break;
        i += sizeof(nWords);
    }
    while (nLength - i >= sizeof(nWords[0])) {
        memcpy(nWords, p + i, sizeof(nWords[0]));
        if (0 != (nWords[0] & kHighBits))
            break;
        i += sizeof(nWords[0]);
    }
    while (i < nLength && p[i] < 0x80)
        ++i;
    return i;
}

// Length of the well-formed UTF-8 start of the nLength bytes at p, a NUL-terminated text: nLength
// when all of it is.
size_t WellFormedUTF8Length(const unsigned char* p, size_t nLength)
{
    size_t i = 0;
    while (i < nLength) {
        if (p[i] < 0x80) {
            i = AsciiRunEnd(p, i, nLength);
            continue;
        }
        bool bWellFormed = true;
        const size_t n = ScanUTF8(p + i, &bWellFormed);
        if (!bWellFormed)
            return i;
        i += n;
    }
    return nLength;
}

constexpr char kReplacementChar[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr size_t kReplacementSize = sizeof(kReplacementChar) - 1;

// A new[] copy of text with its NUL, or null when no memory is left.
char* CopyText(const char* pszText)
{
    const size_t nSize = strlen(pszText) + 1;
    char* pszCopy = new (std::nothrow) char[nSize];
    if (pszCopy)
        memcpy(pszCopy, pszText, nSize);
    return pszCopy;
}

// The value an item stands for: its member "param" when it is an object (null when that is
// missing), else the item itself.
const cJSON* ParamValue(const cJSON* pJSONItem)
{
    if (cJSON_Object == TypeOf(pJSONItem))
        return cJSON_GetObjectItem(pJSONItem, kParamKey);
    return pJSONItem;
}

// Items 1-3 of every parameter reader: the list, the index and the item itself. The steps are
// traced in the name of the reader, pszFunc.
unsigned int GetParamItem(const char* pszFunc, const cJSON* pJSONArray, int nIndex, const cJSON** ppJSONItem)
{
    QOVA_FAIL_IF_IN(pszFunc, (NULL == pJSONArray || nIndex < 0), QOVA_E_INVALIDARG, "Check pJSONArray");

    const int nCount = cJSON_GetArraySize(pJSONArray);
    TRACE(3, "nCount: %d", nCount);
    QOVA_FAIL_IF_IN(pszFunc, (0 == nCount || nCount <= nIndex), QOVA_E_INVALIDARG, "cJSON_GetArraySize");

    const cJSON* pJSONItem = cJSON_GetArrayItem(pJSONArray, nIndex);
    QOVA_FAIL_IF_IN(pszFunc, NULL == pJSONItem, QOVA_E_ITEM_MISSING, "cJSON_GetArrayItem");
    // A text cut short at an escaped NUL reads as only its start: the item does not have the text
    // a reader could hand on.
    QOVA_FAIL_IF_IN(pszFunc, CutAtNUL(pJSONItem) || CutAtNUL(ParamValue(pJSONItem)), QOVA_E_PARAM_TYPE,
                    "Check item text");
    *ppJSONItem = pJSONItem;
    return QOVA_OK;
}

// Integer part of a number, saturated at the ends of the 32-bit range.
int IntegerPart(double dValue)
{
    if (std::isnan(dValue))
        return 0;
    if (dValue >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (dValue <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(dValue);
}

// Length of text written as the inside of a JSON string.
size_t JsonEscapedLength(const char* pszText)
{
    size_t nLength = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszText); *p; ++p) {
        if ('"' == *p || '\\' == *p || '\b' == *p || '\f' == *p || '\n' == *p || '\r' == *p || '\t' == *p)
            nLength += 2;
        else if (*p < 0x20)
            nLength += 6;
        else
            nLength += 1;
    }
    return nLength;
}

// Writes text as the inside of a JSON string; returns the position after it.
char* JsonEscapeInto(char* pszOut, const char* pszText)
{
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszText); *p; ++p) {
        char cShort = 0;
        switch (*p) {
        case '"': cShort = '"'; break;
        case '\\': cShort = '\\'; break;
        case '\b': cShort = 'b'; break;
        case '\f': cShort = 'f'; break;
        case '\n': cShort = 'n'; break;
        case '\r': cShort = 'r'; break;
        case '\t': cShort = 't'; break;
        default: break;
        }
        if (cShort) {
            *pszOut++ = '\\';
            *pszOut++ = cShort;
        } else if (*p < 0x20) {
            memcpy(pszOut, "\\u00", 4);
            pszOut[4] = kHex[*p >> 4];
            pszOut[5] = kHex[*p & 0x0F];
            pszOut += 6;
        } else {
            *pszOut++ = static_cast<char>(*p);
        }
    }
    return pszOut;
}

char* AppendText(char* pszOut, const char* pszText)
{
    const size_t nLength = strlen(pszText);
    memcpy(pszOut, pszText, nLength);
    return pszOut + nLength;
}

// The answer when there is no response object:
//   {"function":"<name>", "errorcode":<code>, "result":false[, "randomId":"<id>"]}
// The blanks after the commas are part of the text the extension knows. The name and the id come
// from the request, so they are escaped: a quote in them must not end the string or add keys.
char* FormatFallbackResponse(const char* pszFuncName, const char* pszRandomId)
{
    char szCode[16] = {0};
    snprintf(szCode, sizeof(szCode), "%d", static_cast<int>(QOVA_E_ITEM_MISSING));

    static const char kHead[] = "{\"function\":\"";
    static const char kCode[] = "\", \"errorcode\":";
    static const char kResult[] = ", \"result\":false";
    static const char kRandomId[] = ", \"randomId\":\"";
    static const char kRandomIdEnd[] = "\"";
    static const char kTail[] = "}";

    const bool bWithRandomId = '\0' != pszRandomId[0];
    size_t nSize = strlen(kHead) + JsonEscapedLength(pszFuncName) + strlen(kCode) + strlen(szCode) +
                   strlen(kResult) + strlen(kTail) + 1;
    if (bWithRandomId)
        nSize += strlen(kRandomId) + JsonEscapedLength(pszRandomId) + strlen(kRandomIdEnd);

    char* pszText = new (std::nothrow) char[nSize];
    if (!pszText)
        return nullptr;
    char* p = AppendText(pszText, kHead);
    p = JsonEscapeInto(p, pszFuncName);
    p = AppendText(p, kCode);
    p = AppendText(p, szCode);
    p = AppendText(p, kResult);
    if (bWithRandomId) {
        p = AppendText(p, kRandomId);
        p = JsonEscapeInto(p, pszRandomId);
        p = AppendText(p, kRandomIdEnd);
    }
    p = AppendText(p, kTail);
    *p = '\0';
    return pszText;
}

// Adds "result" for a successful call; false when nType is not one of the result type codes.
bool AddResult(cJSON* pResponseJSON, unsigned int nType, const void* pValue, bool* pbAdded)
{
    cJSON* pAdded = nullptr;
    switch (nType) {
    case QOVA_RESULT_TYPE_FALSE:
    case QOVA_RESULT_TYPE_TRUE: {
        const bool bValue = 0 != *static_cast<const unsigned char*>(pValue);
        TRACE(3, "bool value: %d", bValue ? 1 : 0);
        pAdded = cJSON_AddBoolToObject(pResponseJSON, "result", bValue);
        break;
    }
    case QOVA_RESULT_TYPE_NUMBER:
        pAdded = cJSON_AddNumberToObject(pResponseJSON, "result", *static_cast<const double*>(pValue));
        break;
    case QOVA_RESULT_TYPE_STRING: {
        const char* pszValue = static_cast<const char*>(pValue);
        if (QovaLogEnabled())
            TRACE(3, "string value: %s", QovaTraceText(pszValue).c_str());
        pAdded = cJSON_AddStringToObject(pResponseJSON, "result", pszValue);
        break;
    }
    case QOVA_RESULT_TYPE_INT: {
        const int nValue = *static_cast<const int*>(pValue);
        TRACE(3, "int value: %d", nValue);
        pAdded = cJSON_AddNumberToObject(pResponseJSON, "result", nValue);
        break;
    }
    default:
        return false;
    }
    *pbAdded = nullptr != pAdded;
    return true;
}

}  // namespace

char* CopyAsUTF8(const char* pszText)
{
    const unsigned char* pbyText = reinterpret_cast<const unsigned char*>(pszText);
    const size_t nLength = strlen(pszText);
    // Answers are nearly always UTF-8 already (Base64 is ASCII): those are copied as they stand.
    const size_t nWellFormed = WellFormedUTF8Length(pbyText, nLength);
    size_t nSize = nWellFormed + 1;
    bool bWellFormed = true;
    for (const unsigned char* p = pbyText + nWellFormed; *p;) {
        const size_t n = ScanUTF8(p, &bWellFormed);
        nSize += bWellFormed ? n : kReplacementSize;
        p += n;
    }
    char* pszCopy = new (std::nothrow) char[nSize];
    if (!pszCopy)
        return nullptr;
    memcpy(pszCopy, pszText, nWellFormed);
    char* pszOut = pszCopy + nWellFormed;
    for (const unsigned char* p = pbyText + nWellFormed; *p;) {
        const size_t n = ScanUTF8(p, &bWellFormed);
        if (bWellFormed)
            memcpy(pszOut, p, n);
        else
            memcpy(pszOut, kReplacementChar, kReplacementSize);
        pszOut += bWellFormed ? n : kReplacementSize;
        p += n;
    }
    *pszOut = '\0';
    return pszCopy;
}

unsigned int ParseRequestMsgToJSON(const char* pszRequestMsg, char** ppszRandomId, char** ppszFuncName,
                                   cJSON** ppParams)
{
    TraceHelper trace("ParseRequestMsgToJSON");
    QOVA_FAIL_IF((NULL == pszRequestMsg || 0 == strlen(pszRequestMsg)), QOVA_E_INVALIDARG, "Check pszRequestMsg");

    const CJsonPtr root(cJSON_Parse(pszRequestMsg));
    const cJSON* pJsonRoot = root.get();
    QOVA_FAIL_IF(NULL == pJsonRoot, QOVA_E_FAIL, "cJSON_Parse");
    // cJSON takes "\uzzzz" as U+0000, cutting the text short where JSON has no such escape: such a
    // request is unreadable, wherever the escape stands. Its other leniencies cut no text and stay.
    StringTokens tokens(pszRequestMsg);
    const bool bEscapesJSON = MarkTextsCutAtNUL(root.get(), false, &tokens);
    QOVA_FAIL_IF(!bEscapesJSON, QOVA_E_FAIL, "Check escapes");

    const cJSON* pFunction = cJSON_GetObjectItem(pJsonRoot, "function");
    QOVA_FAIL_IF(NULL == pFunction, QOVA_E_FAIL, "Get function");
    const char* pszUTF8FuncName = cJSON_String == TypeOf(pFunction) ? pFunction->valuestring : NULL;
    QOVA_FAIL_IF(NULL == pszUTF8FuncName, QOVA_E_FAIL, "Get function name");
    // A name cut short would run another function than the one sent.
    QOVA_FAIL_IF(CutAtNUL(pFunction), QOVA_E_FAIL, "Check function name");
    // The request is a page's text: escaped, so that it cannot end its log line or fake another.
    if (QovaLogEnabled())
        TRACE(3, "pszUTF8FuncName: %s", QovaTraceText(pszUTF8FuncName).c_str());

    const cJSON* pParamsArray = cJSON_GetObjectItem(pJsonRoot, "params");
    QOVA_FAIL_IF(NULL == pParamsArray, QOVA_E_FAIL, "Get params");
    QOVA_FAIL_IF(NameCutAtNUL(pParamsArray), QOVA_E_FAIL, "Check params name");

    const cJSON* pRandomId = cJSON_GetObjectItem(pJsonRoot, "randomId");
    const char* pszUTF8RandomId = NULL;
    if (pRandomId) {
        pszUTF8RandomId = cJSON_String == TypeOf(pRandomId) ? pRandomId->valuestring : NULL;
        QOVA_FAIL_IF(NULL == pszUTF8RandomId, QOVA_E_FAIL, "Get randomId");
        QOVA_FAIL_IF(CutAtNUL(pRandomId), QOVA_E_FAIL, "Check randomId");
        if (QovaLogEnabled())
            TRACE(3, "pszUTF8RandomId: %s", QovaTraceText(pszUTF8RandomId).c_str());
    }

    // Make every copy first: the outputs are written only when all of them exist.
    std::unique_ptr<char[]> randomId(pszUTF8RandomId && ppszRandomId ? CopyText(pszUTF8RandomId) : nullptr);
    QOVA_FAIL_IF(pszUTF8RandomId && ppszRandomId && nullptr == randomId, QOVA_E_FAIL, "Copy randomId");
    std::unique_ptr<char[]> funcName(ppszFuncName ? CopyText(pszUTF8FuncName) : nullptr);
    QOVA_FAIL_IF(ppszFuncName && nullptr == funcName, QOVA_E_FAIL, "Copy function name");
    CJsonPtr params(ppParams ? cJSON_Duplicate(pParamsArray, 1) : nullptr);
    QOVA_FAIL_IF(ppParams && nullptr == params, QOVA_E_FAIL, "cJSON_Duplicate");

    if (ppszRandomId)
        *ppszRandomId = randomId.release();
    if (ppszFuncName)
        *ppszFuncName = funcName.release();
    if (ppParams)
        *ppParams = params.release();
    return QOVA_OK;
}

unsigned int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArray, int nIndex, char** ppszItem)
{
    TraceHelper trace("ConverJSONArrayItemtoNULLEndString");
    const cJSON* pJSONItem = NULL;
    const unsigned int nResult = GetParamItem(__func__, pJSONArray, nIndex, &pJSONItem);
    if (QOVA_OK != nResult)
        return nResult;

    const char* pszJSONItem = NULL;
    if (cJSON_Object == TypeOf(pJSONItem)) {
        const cJSON* pParam = ParamValue(pJSONItem);
        const int nItemType = TypeOf(pParam);
        QOVA_FAIL_IF(cJSON_String != nItemType, QOVA_E_PARAM_TYPE, "Check param type");
        pszJSONItem = pParam->valuestring;
    } else {
        // The reason keeps the text the trace has always written for this step.
        if (cJSON_String != TypeOf(pJSONItem)) {
            QOVA_TRACE_STEP_FAILED("Check item type", QOVA_E_PARAM_TYPE, "cJSON_String != pJSONItem->type");
            return QOVA_E_PARAM_TYPE;
        }
        QOVA_TRACE_STEP_OK("Check item type");
        pszJSONItem = pJSONItem->valuestring;
    }
    QOVA_FAIL_IF(NULL == pszJSONItem, QOVA_E_PARAM_TYPE, "Get item text");

    std::unique_ptr<char[]> item(CopyText(pszJSONItem));
    QOVA_FAIL_IF(nullptr == item, QOVA_E_FAIL, "New memory");
    if (ppszItem)
        *ppszItem = item.release();
    return QOVA_OK;
}

unsigned int ConverJSONArrayItemtobool(const cJSON* pJSONArray, int nIndex, bool* pbValue)
{
    TraceHelper trace("ConverJSONArrayItemtobool");
    const cJSON* pJSONItem = NULL;
    const unsigned int nResult = GetParamItem(__func__, pJSONArray, nIndex, &pJSONItem);
    if (QOVA_OK != nResult)
        return nResult;

    const int nItemType = TypeOf(ParamValue(pJSONItem));
    QOVA_FAIL_IF((cJSON_True != nItemType && cJSON_False != nItemType), QOVA_E_PARAM_TYPE, "Check item type");
    if (pbValue)
        *pbValue = cJSON_True == nItemType;
    return QOVA_OK;
}

unsigned int ConverJSONArrayItemtoint(const cJSON* pJSONArray, int nIndex, int* pnValue)
{
    TraceHelper trace("ConverJSONArrayItemtoint");
    QOVA_FAIL_IF(NULL == pnValue, QOVA_E_INVALIDARG, "Check pnValue");
    const cJSON* pJSONItem = NULL;
    const unsigned int nResult = GetParamItem(__func__, pJSONArray, nIndex, &pJSONItem);
    if (QOVA_OK != nResult)
        return nResult;

    const cJSON* pParam = ParamValue(pJSONItem);
    const int nItemType = TypeOf(pParam);
    QOVA_FAIL_IF((cJSON_Number != nItemType), QOVA_E_PARAM_TYPE, "Check item type");
    // A 0 leaves the caller's default in place.
    const int nValue = IntegerPart(pParam->valuedouble);
    if (0 != nValue)
        *pnValue = nValue;
    return QOVA_OK;
}

unsigned int ConstructResponseJSON(const char* pszFuncName, int nErrorCode, unsigned int nType, const void* pValue,
                                   cJSON** ppResponseJSON)
{
    TraceHelper trace("ConstructResponseJSON");
    QOVA_FAIL_IF((NULL == pszFuncName || 0 == strlen(pszFuncName)), QOVA_E_INVALIDARG, "Check pszFuncName");

    CJsonPtr response(cJSON_CreateObject());
    cJSON* pResponseJSON = response.get();
    QOVA_FAIL_IF(NULL == pResponseJSON, QOVA_E_RESPONSE_CREATE, "cJSON_CreateObject");

    const bool bHead = cJSON_AddStringToObject(pResponseJSON, "function", pszFuncName) &&
                       cJSON_AddNumberToObject(pResponseJSON, "errorcode", nErrorCode);
    QOVA_FAIL_IF(!bHead, QOVA_E_RESPONSE_CREATE, "Add function and errorcode");

    if (0 != nErrorCode) {
        // A failed call reports false whatever value it left behind.
        QOVA_FAIL_IF(NULL == cJSON_AddFalseToObject(pResponseJSON, "result"), QOVA_E_RESPONSE_CREATE, "Add result");
    } else if (pValue) {
        bool bAdded = false;
        QOVA_FAIL_IF(!AddResult(pResponseJSON, nType, pValue, &bAdded), QOVA_E_FAIL, "Check nType");
        QOVA_FAIL_IF(!bAdded, QOVA_E_RESPONSE_CREATE, "Add result");
    }

    if (ppResponseJSON)
        *ppResponseJSON = response.release();
    return QOVA_OK;
}

unsigned int ConvertJSONToResponseMsg(const char* pszRandomId, const char* pszFuncName, cJSON* pResponseJSON,
                                      char** ppszResponseMsg)
{
    TraceHelper trace("ConvertJSONToResponseMsg");
    if (QovaLogEnabled()) {
        TRACE(3, "pszUTF8RandomId: %s", QovaTraceText(pszRandomId).c_str());
        TRACE(3, "FuncName: %s", QovaTraceText(pszFuncName).c_str());
    }
    const bool bWithRandomId = pszRandomId && '\0' != pszRandomId[0];

    std::unique_ptr<char[]> response;
    if (pResponseJSON) {
        const bool bAdded = !bWithRandomId || cJSON_AddStringToObject(pResponseJSON, "randomId", pszRandomId);
        const CJsonTextPtr printed(bAdded ? cJSON_PrintUnformatted(pResponseJSON) : nullptr);
        // The caller releases every answer with delete[], so the printed text moves to a new[] buffer.
        if (!QOVA_STEP_FAILED(nullptr == printed, QOVA_OK, "cJSON_PrintUnformatted"))
            response.reset(CopyAsUTF8(printed.get()));
    }
    // No object, or one that could not be printed: the fallback answer. The name and randomId in
    // either answer are the request's bytes, which need not be UTF-8.
    if (!response) {
        const std::unique_ptr<char[]> fallback(
            FormatFallbackResponse(pszFuncName ? pszFuncName : "", bWithRandomId ? pszRandomId : ""));
        if (fallback)
            response.reset(CopyAsUTF8(fallback.get()));
    }
    QOVA_FAIL_IF(nullptr == response, QOVA_E_FAIL, "New memory");

    if (ppszResponseMsg)
        *ppszResponseMsg = response.release();
    return QOVA_OK;
}

bool JSONHasTextCutAtNUL(const cJSON* pJSON)
{
    return pJSON && TreeHasTextCutAtNUL(pJSON);
}

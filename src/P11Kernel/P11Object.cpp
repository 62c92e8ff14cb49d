#include "P11Object.h"

#include "P11Detail.h"
#include "QovaTrace.h"

#include <iterator>

using p11detail::kBadModuleAnswer;
using p11detail::kMaxAttributeLength;
using p11detail::kNoHostMemory;
using p11detail::NewZeroed;

namespace {

// The attributes read from an object, by its class, in this order.
const CK_ATTRIBUTE_TYPE kDataAttributes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL, CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE};
const CK_ATTRIBUTE_TYPE kCertificateAttributes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL, CKA_CERTIFICATE_TYPE, CKA_TRUSTED,
    CKA_SUBJECT, CKA_ID, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_VALUE, CKA_CLASS};
const CK_ATTRIBUTE_TYPE kPublicKeyAttributes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL, CKA_KEY_TYPE, CKA_ID,
    CKA_START_DATE, CKA_END_DATE, CKA_DERIVE, CKA_LOCAL, CKA_SUBJECT, CKA_ENCRYPT, CKA_VERIFY,
    CKA_VERIFY_RECOVER, CKA_WRAP, CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT};
const CK_ATTRIBUTE_TYPE kPrivateKeyAttributes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL, CKA_KEY_TYPE, CKA_ID,
    CKA_START_DATE, CKA_END_DATE, CKA_DERIVE, CKA_LOCAL, CKA_SUBJECT, CKA_SENSITIVE, CKA_SECONDARY_AUTH,
    CKA_AUTH_PIN_FLAGS, CKA_DECRYPT, CKA_SIGN, CKA_SIGN_RECOVER, CKA_UNWRAP, CKA_EXTRACTABLE,
    CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT,
    CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT};

struct AttributeList
{
    const CK_ATTRIBUTE_TYPE* pTypes;
    CK_ULONG ulCount;
};

// Indexed by the class: CKO_DATA (0) to CKO_PRIVATE_KEY (3).
const AttributeList kAttributeLists[] = {
    {kDataAttributes, std::size(kDataAttributes)},
    {kCertificateAttributes, std::size(kCertificateAttributes)},
    {kPublicKeyAttributes, std::size(kPublicKeyAttributes)},
    {kPrivateKeyAttributes, std::size(kPrivateKeyAttributes)}};

void FreeValue(CK_ATTRIBUTE& stAttribute)
{
    delete[] static_cast<unsigned char*>(stAttribute.pValue);
    stAttribute.pValue = NULL;
}

// The attributes this call read. Their buffers are released unless they reach the caller: a failed
// read must free what this call allocated and nothing the caller passed in.
struct AttributeItems
{
    std::vector<CK_ATTRIBUTE> items;
    ~AttributeItems()
    {
        for (CK_ATTRIBUTE& stItem : items)
            FreeValue(stItem);
    }
};

// Reads one attribute's value after its length was read: a zeroed buffer one byte longer than
// the length, so that a text value ends with a zero byte. Traced in the name pszFunc.
unsigned int ReadAttributeValue(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* pItem)
{
    const CK_ULONG ulLength = pItem->ulValueLen;
    QOVA_P11_FAIL_IF_IN(pszFunc, ulLength > kMaxAttributeLength, kBadModuleAnswer, "Check attribute length");
    std::unique_ptr<unsigned char[]> value = NewZeroed<unsigned char>(ulLength + 1);
    QOVA_P11_FAIL_IF_IN(pszFunc, !value, kNoHostMemory, "new attribute value");

    CK_ATTRIBUTE stRead = {pItem->type, value.get(), ulLength};
    const CK_RV rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, &stRead, 1);
    TRACE(3, "C_GetAttributeValue return: %d", static_cast<int>(rv));
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(2)");
    // The buffer was sized by the first answer; a longer second one would have overrun it.
    QOVA_P11_FAIL_IF_IN(pszFunc, stRead.ulValueLen > ulLength, kBadModuleAnswer, "Check attribute length(2)");
    pItem->pValue = value.release();
    pItem->ulValueLen = stRead.ulValueLen;
    return QOVA_OK;
}

// One data object of a running search, read into *pData (three array-new buffers). On failure
// nothing is handed out and every buffer of the object is released. Traced in the name pszFunc.
unsigned int ReadDataObject(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                            CK_OBJECT_HANDLE hObject, _DATA_VALUE* pData)
{
    CK_ATTRIBUTE stTemplate[] = {{CKA_APPLICATION, NULL, 0}, {CKA_OBJECT_ID, NULL, 0}, {CKA_VALUE, NULL, 0}};
    CK_RV rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, stTemplate, 3);
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(CKO_DATA 1)");
    const CK_ULONG ulApplicationLen = stTemplate[0].ulValueLen;
    const CK_ULONG ulObjectIDLen = stTemplate[1].ulValueLen;
    const CK_ULONG ulValueLen = stTemplate[2].ulValueLen;
    QOVA_P11_FAIL_IF_IN(pszFunc,
                        ulApplicationLen > kMaxAttributeLength || ulObjectIDLen > kMaxAttributeLength ||
                            ulValueLen > kMaxAttributeLength,
                        kBadModuleAnswer, "Check attribute length");

    std::unique_ptr<char[]> application = NewZeroed<char>(ulApplicationLen + 1);
    std::unique_ptr<unsigned char[]> objectID;
    std::unique_ptr<unsigned char[]> value;
    if (0 != ulObjectIDLen)
        objectID = NewZeroed<unsigned char>(ulObjectIDLen);
    if (0 != ulValueLen)
        value = NewZeroed<unsigned char>(ulValueLen);
    QOVA_P11_FAIL_IF_IN(pszFunc, !application || (0 != ulObjectIDLen && !objectID) || (0 != ulValueLen && !value),
                        kNoHostMemory, "new data object buffers");

    stTemplate[0].pValue = application.get();
    stTemplate[1].pValue = objectID.get();
    stTemplate[2].pValue = value.get();
    rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, stTemplate, 3);
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(CKO_DATA 2)");
    QOVA_P11_FAIL_IF_IN(pszFunc,
                        stTemplate[0].ulValueLen > ulApplicationLen || stTemplate[1].ulValueLen > ulObjectIDLen ||
                            stTemplate[2].ulValueLen > ulValueLen,
                        kBadModuleAnswer, "Check attribute length(2)");

    pData->pszApplication = application.release();
    pData->ulObjectIDLen = ulObjectIDLen;
    pData->pbyObjectID = objectID.release();
    pData->ulValueLen = ulValueLen;
    pData->pbyValue = value.release();
    return QOVA_OK;
}

// The data-object search after a successful C_FindObjectsInit; the caller ends the search.
unsigned int ReadDataObjects(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                             std::vector<_DATA_VALUE>& vtrDataValues)
{
    for (;;) {
        CK_OBJECT_HANDLE hObject = 0;
        CK_ULONG ulObjectCount = 0;
        const CK_RV rv = pCkFunctionList->C_FindObjects(hSession, &hObject, 1, &ulObjectCount);
        TRACE(3, "C_FindObjects return: %d", static_cast<int>(rv));
        QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_FindObjects");
        TRACE(3, "Object count: %lu", static_cast<unsigned long>(ulObjectCount));
        if (0 == ulObjectCount)
            return QOVA_OK;

        _DATA_VALUE stData{};
        const unsigned int nResult = ReadDataObject(pszFunc, pCkFunctionList, hSession, hObject, &stData);
        if (QOVA_OK != nResult)
            return nResult;
        vtrDataValues.push_back(stData);
    }
}

}  // namespace

unsigned int CkGetObjectAllAttribute(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                     CK_OBJECT_HANDLE hObject, CK_OBJECT_CLASS* pulObjectClass,
                                     std::vector<CK_ATTRIBUTE>& vtrAttributes)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    TRACE(3, "Object handle: 0x%08x", static_cast<unsigned int>(hObject));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check CkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_INVALIDARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(0 == hObject, QOVA_E_INVALIDARG, "Check hObjectHandle");
    QOVA_P11_FAIL_IF(NULL == pulObjectClass, QOVA_E_INVALIDARG, "Check pulObjectClass");

    CK_OBJECT_CLASS ulObjectClass = 0;
    CK_ATTRIBUTE stQueryAttribute = {CKA_CLASS, &ulObjectClass, sizeof(ulObjectClass)};
    CK_RV rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, &stQueryAttribute, 1);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(stQueryAttribute)");
    TRACE(3, "Object class: %lu", static_cast<unsigned long>(ulObjectClass));
    QOVA_P11_FAIL_IF(ulObjectClass > CKO_PRIVATE_KEY, QOVA_E_P11_NOT_SUPPORTED,
                     "Only support CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY");

    const AttributeList& stList = kAttributeLists[ulObjectClass];
    TRACE(3, "Attribute item count: %lu", static_cast<unsigned long>(stList.ulCount));
    AttributeItems read;
    read.items.reserve(stList.ulCount);
    for (CK_ULONG i = 0; i < stList.ulCount; ++i) {
        CK_ATTRIBUTE stItem = {stList.pTypes[i], NULL, 0};
        rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, &stItem, 1);
        TRACE(3, "C_GetAttributeValue(1) return: %d", static_cast<int>(rv));
        if (CKR_OK != rv) {
            // An attribute the object lacks or will not show: kept with the length the module gave.
            TRACE(1, "C_GetAttributeValue (Index: %d) FAILURE (Error code: 0%08x)", static_cast<int>(i),
                  QovaP11Result(rv));
            stItem.pValue = NULL;
            read.items.push_back(stItem);
            continue;
        }
        const unsigned int nResult = ReadAttributeValue(__func__, pCkFunctionList, hSession, hObject, &stItem);
        if (QOVA_OK != nResult) {
            TRACE(3, "Destroy attribute items");
            return nResult;
        }
        read.items.push_back(stItem);
    }

    vtrAttributes.insert(vtrAttributes.end(), read.items.begin(), read.items.end());
    read.items.clear();
    *pulObjectClass = ulObjectClass;
    return QOVA_OK;
}

unsigned int CkCleanVtrAttributes(std::vector<CK_ATTRIBUTE>& vtrAttributes)
{
    for (CK_ATTRIBUTE& stAttribute : vtrAttributes)
        FreeValue(stAttribute);
    vtrAttributes.clear();
    return QOVA_OK;
}

unsigned int CkGetObjectSize(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                             CK_ULONG* pulSize)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    TRACE(3, "Object handle: 0x%08x", static_cast<unsigned int>(hObject));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_MISSING_ARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(0 == hObject, QOVA_E_MISSING_ARG, "Check hObject");
    QOVA_P11_FAIL_IF(NULL == pulSize, QOVA_E_MISSING_ARG, "Check pulSize");

    const CK_RV rv = pCkFunctionList->C_GetObjectSize(hSession, hObject, pulSize);
    TRACE(3, "C_GetObjectSize return: %d", static_cast<int>(rv));
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetObjectSize");
    return QOVA_OK;
}

unsigned int CkGetAllDataValue(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                               std::vector<_DATA_VALUE>& vtrDataValues)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check CkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_INVALIDARG, "Check hSessionHandle");

    CK_OBJECT_CLASS ulClass = CKO_DATA;
    CK_ATTRIBUTE stTemplate[] = {{CKA_CLASS, &ulClass, sizeof(ulClass)}};
    const CK_RV rv = pCkFunctionList->C_FindObjectsInit(hSession, stTemplate, 1);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_FindObjectsInit");

    // Every end of the search after a successful init is followed by C_FindObjectsFinal.
    const unsigned int nResult = ReadDataObjects(__func__, pCkFunctionList, hSession, vtrDataValues);
    const CK_RV rvFinal = pCkFunctionList->C_FindObjectsFinal(hSession);
    TRACE(3, "C_FindObjectsFinal return: %d", static_cast<int>(rvFinal));
    return nResult;
}

// The function list: every entry set; calls the module does not serve answer
// CKR_FUNCTION_NOT_SUPPORTED (and appear in the call log). C_GetFunctionList is the only export.
#include "TestP11Calls.h"

#include <cstdlib>
#include <cstring>

namespace testp11 {

namespace {

// A captureless generic lambda converts to any of the list's pointer types.
#define TESTP11_UNSUPPORTED(name) \
    list.name = [](auto...) -> CK_RV { return CallRecord(#name).Return(CKR_FUNCTION_NOT_SUPPORTED); }

CK_FUNCTION_LIST MakeFunctionList();

CK_RV GetFunctionList(CK_FUNCTION_LIST** ppList)
{
    static CK_FUNCTION_LIST list = MakeFunctionList();
    CallRecord call("C_GetFunctionList");
    if (ppList == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    // A module that answers OK without a list: the loader must not use the pointer.
    const char* nullList = getenv("TESTP11_NULL_LIST");
    if (nullList != nullptr && strcmp(nullList, "1") == 0)
        return call.Field("list", "null").Return(CKR_OK);
    *ppList = &list;
    return call.Return(CKR_OK);
}

CK_FUNCTION_LIST MakeFunctionList()
{
    CK_FUNCTION_LIST list;
    memset(&list, 0, sizeof(list));
    list.version.major = 2;
    list.version.minor = 20;

    list.C_Initialize = Initialize;
    list.C_Finalize = Finalize;
    list.C_GetInfo = GetInfo;
    list.C_GetFunctionList = GetFunctionList;
    list.C_GetSlotList = GetSlotList;
    list.C_GetSlotInfo = GetSlotInfo;
    list.C_GetTokenInfo = GetTokenInfo;
    TESTP11_UNSUPPORTED(C_GetMechanismList);
    TESTP11_UNSUPPORTED(C_GetMechanismInfo);
    TESTP11_UNSUPPORTED(C_InitToken);
    TESTP11_UNSUPPORTED(C_InitPIN);
    TESTP11_UNSUPPORTED(C_SetPIN);
    list.C_OpenSession = OpenSession;
    list.C_CloseSession = CloseSession;
    list.C_CloseAllSessions = CloseAllSessions;
    list.C_GetSessionInfo = GetSessionInfo;
    TESTP11_UNSUPPORTED(C_GetOperationState);
    TESTP11_UNSUPPORTED(C_SetOperationState);
    list.C_Login = Login;
    list.C_Logout = Logout;
    list.C_CreateObject = CreateObject;
    TESTP11_UNSUPPORTED(C_CopyObject);
    list.C_DestroyObject = DestroyObject;
    list.C_GetObjectSize = GetObjectSize;
    list.C_GetAttributeValue = GetAttributeValue;
    TESTP11_UNSUPPORTED(C_SetAttributeValue);
    list.C_FindObjectsInit = FindObjectsInit;
    list.C_FindObjects = FindObjects;
    list.C_FindObjectsFinal = FindObjectsFinal;
    TESTP11_UNSUPPORTED(C_EncryptInit);
    TESTP11_UNSUPPORTED(C_Encrypt);
    TESTP11_UNSUPPORTED(C_EncryptUpdate);
    TESTP11_UNSUPPORTED(C_EncryptFinal);
    list.C_DecryptInit = DecryptInit;
    list.C_Decrypt = Decrypt;
    TESTP11_UNSUPPORTED(C_DecryptUpdate);
    TESTP11_UNSUPPORTED(C_DecryptFinal);
    list.C_DigestInit = DigestInit;
    list.C_Digest = Digest;
    list.C_DigestUpdate = DigestUpdate;
    TESTP11_UNSUPPORTED(C_DigestKey);
    list.C_DigestFinal = DigestFinal;
    list.C_SignInit = SignInit;
    list.C_Sign = Sign;
    list.C_SignUpdate = SignUpdate;
    list.C_SignFinal = SignFinal;
    TESTP11_UNSUPPORTED(C_SignRecoverInit);
    TESTP11_UNSUPPORTED(C_SignRecover);
    list.C_VerifyInit = VerifyInit;
    list.C_Verify = Verify;
    list.C_VerifyUpdate = VerifyUpdate;
    list.C_VerifyFinal = VerifyFinal;
    TESTP11_UNSUPPORTED(C_VerifyRecoverInit);
    TESTP11_UNSUPPORTED(C_VerifyRecover);
    TESTP11_UNSUPPORTED(C_DigestEncryptUpdate);
    TESTP11_UNSUPPORTED(C_DecryptDigestUpdate);
    TESTP11_UNSUPPORTED(C_SignEncryptUpdate);
    TESTP11_UNSUPPORTED(C_DecryptVerifyUpdate);
    TESTP11_UNSUPPORTED(C_GenerateKey);
    TESTP11_UNSUPPORTED(C_GenerateKeyPair);
    TESTP11_UNSUPPORTED(C_WrapKey);
    TESTP11_UNSUPPORTED(C_UnwrapKey);
    TESTP11_UNSUPPORTED(C_DeriveKey);
    list.C_SeedRandom = SeedRandom;
    list.C_GenerateRandom = GenerateRandom;
    TESTP11_UNSUPPORTED(C_GetFunctionStatus);
    TESTP11_UNSUPPORTED(C_CancelFunction);
    TESTP11_UNSUPPORTED(C_WaitForSlotEvent);
    return list;
}

#undef TESTP11_UNSUPPORTED

}  // namespace

}  // namespace testp11

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** ppList)
{
    return testp11::GetFunctionList(ppList);
}

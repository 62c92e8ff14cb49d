// Entry points of the test module that do more than answer CKR_FUNCTION_NOT_SUPPORTED.
// Their names differ from the standard's C_* names, which <p11-kit/pkcs11.h> declares extern "C".
#ifndef TESTP11_CALLS_H
#define TESTP11_CALLS_H

#include "TestP11State.h"

namespace testp11 {

// Every call on a session starts here: lock held by the caller, module initialised, handle
// valid, then the injected failure of the call (if any) for the session's slot.
CK_RV EnterSession(Module& module, CallRecord& call, CK_SESSION_HANDLE handle, Session** session);

// General and slot calls.
CK_RV Initialize(void* initArgs);
CK_RV Finalize(void* reserved);
CK_RV GetInfo(CK_INFO* info);
CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID* slotList, CK_ULONG* count);
CK_RV GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO* info);
CK_RV GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO* info);

// Sessions and login.
CK_RV OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, void* application, CK_NOTIFY notify, CK_SESSION_HANDLE* session);
CK_RV CloseSession(CK_SESSION_HANDLE session);
CK_RV CloseAllSessions(CK_SLOT_ID slotID);
CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO* info);
CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, unsigned char* pin, CK_ULONG pinLen);
CK_RV Logout(CK_SESSION_HANDLE session);

// Objects.
CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* templ, CK_ULONG count);
CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount, CK_ULONG* count);
CK_RV FindObjectsFinal(CK_SESSION_HANDLE session);
CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* templ, CK_ULONG count);
// Data objects and certificates only (key objects need key material the template cannot give);
// token objects need a read-write session, private ones the user's login.
CK_RV CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* templ, CK_ULONG count, CK_OBJECT_HANDLE* object);
CK_RV DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);
// The sum of the object's attribute value lengths.
CK_RV GetObjectSize(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG* size);

// Signatures, verification, digests, decryption and random data (TestP11Crypto.cpp); the
// mechanisms are rows of one table there.
CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key);
CK_RV Sign(CK_SESSION_HANDLE session, unsigned char* data, CK_ULONG dataLen, unsigned char* signature,
           CK_ULONG* signatureLen);
CK_RV SignUpdate(CK_SESSION_HANDLE session, unsigned char* part, CK_ULONG partLen);
CK_RV SignFinal(CK_SESSION_HANDLE session, unsigned char* signature, CK_ULONG* signatureLen);
CK_RV VerifyInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key);
CK_RV Verify(CK_SESSION_HANDLE session, unsigned char* data, CK_ULONG dataLen, unsigned char* signature,
             CK_ULONG signatureLen);
CK_RV VerifyUpdate(CK_SESSION_HANDLE session, unsigned char* part, CK_ULONG partLen);
CK_RV VerifyFinal(CK_SESSION_HANDLE session, unsigned char* signature, CK_ULONG signatureLen);
CK_RV DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism);
CK_RV Digest(CK_SESSION_HANDLE session, unsigned char* data, CK_ULONG dataLen, unsigned char* digest,
             CK_ULONG* digestLen);
CK_RV DigestUpdate(CK_SESSION_HANDLE session, unsigned char* part, CK_ULONG partLen);
CK_RV DigestFinal(CK_SESSION_HANDLE session, unsigned char* digest, CK_ULONG* digestLen);
CK_RV DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key);
CK_RV Decrypt(CK_SESSION_HANDLE session, unsigned char* encrypted, CK_ULONG encryptedLen, unsigned char* data,
              CK_ULONG* dataLen);
CK_RV SeedRandom(CK_SESSION_HANDLE session, unsigned char* seed, CK_ULONG seedLen);
CK_RV GenerateRandom(CK_SESSION_HANDLE session, unsigned char* randomData, CK_ULONG randomLen);

}  // namespace testp11

#endif

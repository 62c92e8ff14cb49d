// Slots, tokens, sessions and login on a bound module.
#ifndef VARNELL_P11_SESSION_H
#define VARNELL_P11_SESSION_H

#include "P11Types.h"

#include <vector>

// IDs of the slots that hold a token (array new; the caller delete[]s). No slot: null and 0.
unsigned int GetSlotListEx(CK_FUNCTION_LIST* pCkFunctionList, CK_SLOT_ID** ppSlotList, CK_ULONG* pulSlotCount);

// The first slot that holds a token; CKR_TOKEN_NOT_PRESENT (0xE0, unmapped) when there is none.
unsigned int GetFirstSlot(CK_FUNCTION_LIST* pCkFunctionList, CK_SLOT_ID* pSlotID);

// Module information (optional; array new, the caller delete[]s it) and one slot and one token
// entry per usable slot, appended to the caller's vectors. On failure both vectors are emptied.
unsigned int CryptoGetDeviceInfo(void* pDylibInfo, CK_INFO** ppInfo, std::vector<_SLOT_STRUCT>& vtrSlots,
                                 std::vector<_TOKEN_STRUCT>& vtrTokens);

// Opens a read-write serial session and, with a PIN, logs the user in (type 1).
unsigned int CKCreateSession(CK_FUNCTION_LIST* pCkFunctionList, unsigned char* pbyPIN, int nPINLen,
                             CK_SLOT_ID ulSlotID, CK_SESSION_HANDLE* phSession, int* pnSessionType);

// Logs out (type 1) and closes the session. The module's answers are only traced.
unsigned int CKCloseSession(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, int nSessionType);

// Opens a session on a slot of a loaded module and hands it out as a new SessionCtx.
unsigned int AcquireContext(void* pDylibInfo, unsigned char* pbyPIN, int nPINLen, CK_SLOT_ID ulSlotID,
                            void** ppSessionCtx);

// Closes and frees the context when no certificate record holds it; with bUnload the module is
// then unloaded if this was its last session. Always 0.
unsigned int ReleaseSessionContext(void* pSessionCtx, bool bUnload);

// Logs the normal user in on the context's session. The PIN bytes go to the token unchanged.
unsigned int LoginSession(void* pSessionCtx, unsigned char* pbyPIN, int nPINLen);

// Logs out when this layer logged in on the context; otherwise 0 without calling the token.
unsigned int LogoutSession(void* pSessionCtx);
// The token information (label, serial number, flags) of the token the context's session is
// open on (the context's slot), read now: the PIN flags change with every login.
unsigned int GetSessionTokenInfo(void* pSessionCtx, CK_TOKEN_INFO* pTokenInfo);
// Makes sure the context knows its token's label and serial number (SessionCtx::tokenLabel and
// tokenSerial): kept from the slot listing that opened the session, else read from the token once.
unsigned int NameSessionToken(void* pSessionCtx);

#endif

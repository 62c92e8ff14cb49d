// The token services' login step, which signing and envelope decryption share, and the PIN the
// host hands to tokens on its own (its stored PIN; the user is never asked).
//
// Nobody types that PIN, so nobody notices when a token does not take it; a caller that keeps
// asking would spend the token's PIN tries one request at a time until the token locks. A login
// with exactly the stored PIN therefore:
// - answers at once, without asking the token, once this process saw the token (module path, slot
//   ID, token label and serial number) refuse the stored PIN as wrong, invalid, of the wrong
//   length, expired or locked: the same code again;
// - takes the token's login lock (TokenLoginLock.h), which every host process of the user shares,
//   and holds it while it reads the token's flags and until the login's answer is known, so that
//   no other host logs in between the two: after a wrong login the next host reads the token's
//   new flags. Without the lock (its directory unusable, or another host holding it for 10 s) it
//   does not log in and answers 0xA0072003 (QOVA_E_PIN_GUARD_UNAVAILABLE);
// - does not log in when the token reports its PIN locked (0xA00718A4) or one try left
//   (0xA0072002, QOVA_E_PIN_FINAL_TRY): the last try belongs to someone who knows the PIN.
// What a process remembers of a refusal stays its own. Any other PIN (one a user typed) goes to the
// token as it comes, without lock or checks.
#ifndef VARNELL_TOKENSVC_TOKEN_LOGIN_H
#define VARNELL_TOKENSVC_TOKEN_LOGIN_H

#include "CertInfo.h"

// Names the stored PIN (the bytes are copied); null or a size of 0 names none. When the PIN
// changes, the refusals remembered for the one before are forgotten, so the host calls it once
// when it starts its token services and with null when it stops them. Main thread only.
void SetStoredPIN(const unsigned char* pbyPIN, int nPINSize);

// Logs the user in on the record's session with the PIN, the stored PIN only as said above. Lines
// are traced in the name func. Main thread only.
unsigned int LoginRecordSession(const char* func, _CERTIFICATE_DATA* pCertData, unsigned char* pbyPIN, int nPINSize);

#endif

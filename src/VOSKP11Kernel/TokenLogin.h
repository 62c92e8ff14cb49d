// Logins with the PIN the host hands to tokens on its own (its stored PIN; the user is never asked).
//
// Nobody types that PIN, so nobody notices when a token does not take it; a caller that keeps
// asking would spend the token's PIN tries one request at a time until the token locks. A login
// with exactly the stored PIN therefore first reads the token's flags and does not log in when
// the token reports its PIN locked (0xA00718A4) or one try left (0xA0072002, QOVA_E_PIN_FINAL_TRY);
// and once a token (module path and token serial number) refused the stored PIN as wrong, invalid,
// of the wrong length, expired or locked, every later login with it answers that same code without
// asking the token again. Both signing and envelope decryption log in this way. Any other PIN (one
// a user typed) goes to the token as it comes.
#ifndef VARNELL_TOKENSVC_TOKEN_LOGIN_H
#define VARNELL_TOKENSVC_TOKEN_LOGIN_H

// Names the stored PIN (the bytes are copied); null or a size of 0 names none. When the PIN
// changes, the refusals remembered for the one before are forgotten, so the host calls it once
// when it starts its token services and with null when it stops them. Main thread only.
void SetStoredPIN(const unsigned char* pbyPIN, int nPINSize);

#endif

// State of the test PKCS#11 module: tokens and objects from a fixture file, open sessions,
// failure injection and the call log. Everything here is internal to the module.
//
// The module is the independent reference the token kernel is tested against: it shares none of
// the project's code and only OpenSSL's general-purpose API.
#ifndef TESTP11_STATE_H
#define TESTP11_STATE_H

#include <p11-kit/pkcs11.h>

#include <openssl/evp.h>

#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testp11 {

using Bytes = std::vector<unsigned char>;

struct EvpPkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using EvpPkeyPtr = std::shared_ptr<EVP_PKEY>;

// An attribute whose reading is refused: the size query and the read both answer rv with the
// length CK_UNAVAILABLE_INFORMATION (CKR_ATTRIBUTE_SENSITIVE or CKR_ATTRIBUTE_TYPE_INVALID).
// A lying attribute instead reports sizeLength on the size query and readLength on the read,
// while never writing beyond the caller's buffer.
struct AttributeOverride
{
    CK_RV rv = CKR_OK;
    bool lies = false;
    CK_ULONG sizeLength = 0;
    CK_ULONG readLength = 0;
};

struct Object
{
    CK_OBJECT_HANDLE handle = 0;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    std::map<CK_ATTRIBUTE_TYPE, AttributeOverride> overrides;
    EvpPkeyPtr key;  // key material of key objects, for the cryptographic calls
    CK_SESSION_HANDLE owner = 0;  // the session a session object (CKA_TOKEN false) ends with; 0: token object

    bool IsPrivate() const;
    bool Has(CK_ATTRIBUTE_TYPE type) const { return attributes.count(type) != 0; }
    CK_ULONG Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG fallback) const;
};

struct Slot
{
    CK_SLOT_ID id = 0;
    bool hasToken = false;
    std::string label;
    std::string serial;   // CK_TOKEN_INFO.serialNumber
    CK_FLAGS flags = 0;   // added to the token flags C_GetTokenInfo always reports
    Bytes pin;
    // `tries=FILE maxtries=N`: the PIN tries left live in FILE, which every process that loads the
    // module shares (under flock): C_GetTokenInfo reports them, C_Login spends and resets them.
    std::string triesFile;
    CK_ULONG maxTries = 3;
    bool userLoggedIn = false;
    std::vector<Object> objects;
};

// The search of C_FindObjects*. The signature, verification, digest, encryption and decryption
// operations keep their state beside it, one of each kind per session as the standard allows.
struct FindOperation
{
    bool active = false;
    std::vector<CK_OBJECT_HANDLE> matches;
    size_t next = 0;
};

struct Mechanism;

// A signature, verification, digest or decryption between its C_*Init and its last call. The
// parts of a multi-part operation are gathered and worked on by the final call.
struct CryptoOperation
{
    bool active = false;
    const Mechanism* mechanism = nullptr;
    Bytes parameter;
    EvpPkeyPtr key;
    Bytes input;
};

struct Session
{
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    FindOperation find;
    CryptoOperation sign, verify, digest, decrypt;
};

// `fail C_Func RV [slot=N] [after=K] [times=N]`: the matching calls after the first K answer RV,
// at most N times.
struct FailRule
{
    std::string function;
    CK_RV rv = CKR_GENERAL_ERROR;
    bool anySlot = true;
    CK_SLOT_ID slot = 0;
    unsigned long after = 0;
    unsigned long times = ULONG_MAX;
    unsigned long seen = 0;
    unsigned long fired = 0;
};

struct Config
{
    std::vector<Slot> slots;
    std::vector<FailRule> failRules;
    // `delay C_Func MS`: milliseconds every call of the function waits before it answers.
    std::map<std::string, CK_ULONG> delays;
    // `sigderlen N`: SM2 signatures of N bytes (66..72: signed again until the DER has that length;
    // otherwise the DER cut or padded with zero bytes to N). 0: as signed.
    CK_ULONG sigDerLength = 0;
    // `sizequery N`: every size query of a sign, digest or decrypt operation answers N. 0: the true bound.
    CK_ULONG sizeQuery = 0;
    // `delay MS`: every call on the module (after C_Initialize) first waits MS milliseconds, as a
    // slow token does.
    CK_ULONG delayMs = 0;
};

// The PIN tries left of a token with a tries file (a missing or empty file holds the maximum),
// handed to update, which may change them, all under an exclusive flock of the file; *left
// receives what the file holds afterwards. False when the file cannot be used.
bool UpdateTries(const Slot& slot, const std::function<void(CK_ULONG& left)>& update, CK_ULONG* left);

// Reads the fixture file; on failure *error says why.
bool LoadConfig(const std::string& path, Config* config, std::string* error);

// Names of attributes for fixture lines and the log (CKA_ID, CKA_VALUE, ...), or a number.
bool ParseAttributeType(const std::string& text, CK_ATTRIBUTE_TYPE* type);
bool ParseUlong(const std::string& text, CK_ULONG* value);
bool ParseHexOrText(const std::string& text, Bytes* bytes);  // "hex:4100" or plain text
std::string Hex(const unsigned char* data, size_t size);

// One line of the call log (TESTP11_LOG): "C_Func rv=0x%08lx key=value ...".
class CallRecord
{
public:
    explicit CallRecord(const char* function) : m_function(function) {}
    CallRecord& Field(const char* key, const std::string& value);
    CallRecord& Field(const char* key, unsigned long value);
    CallRecord& HexField(const char* key, const void* data, size_t size);
    const char* Function() const { return m_function; }
    // Writes the line and hands rv back, so entry points end with `return call.Return(rv);`.
    CK_RV Return(CK_RV rv);

private:
    const char* m_function;
    std::string m_fields;
};

// The module's state between C_Initialize and C_Finalize. All entry points hold Lock().
class Module
{
public:
    static Module& Instance();
    std::mutex& Lock() { return m_lock; }

    bool initialized = false;
    Config config;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 1;

    void Reset();
    Slot* FindSlot(CK_SLOT_ID id);
    Session* FindSession(CK_SESSION_HANDLE handle);
    // An object the session may see (private objects only while its token's user is logged in).
    Object* VisibleObject(const Session& session, CK_OBJECT_HANDLE handle);
    // The configured delays, then the injected answer for this call, or CKR_OK.
    CK_RV Injected(const char* function, const CK_SLOT_ID* slot);

private:
    std::mutex m_lock;
};

}  // namespace testp11

#endif

// Result codes shared by every subsystem. A result code is an unsigned 32-bit value; 0 is success.
#ifndef VARNELL_QOVA_RESULT_H
#define VARNELL_QOVA_RESULT_H

#ifdef __cplusplus

constexpr unsigned int QOVA_OK = 0x00000000u;

// Generic failure, also a failed crypto-library call.
constexpr unsigned int QOVA_E_FAIL = 0xFFFFFFFFu;

// Logging layer.
constexpr unsigned int QOVA_LOG_E_INIT = 0x6002u;      // library init failed, no category, empty memory-log path
constexpr unsigned int QOVA_LOG_E_NOMEM = 0x6004u;     // no memory for the formatted text
constexpr unsigned int QOVA_LOG_E_LEVEL = 0x6005u;     // level number above 4
constexpr unsigned int QOVA_LOG_E_NOT_INIT = 0x6006u;  // logging is off
constexpr unsigned int QOVA_LOG_E_NO_CONF = 0x6007u;   // no usable configuration file

// Windows numbering.
constexpr unsigned int QOVA_E_FILE_NOT_FOUND = 0x80070002u;    // module or signature file not readable
constexpr unsigned int QOVA_E_INVALID_DATA = 0x8007000Du;      // data of the wrong form
constexpr unsigned int QOVA_E_WRITE_FAULT = 0x8007001Du;       // short write
constexpr unsigned int QOVA_E_READ_FAULT = 0x8007001Eu;        // read failed or short, empty file, file too large
constexpr unsigned int QOVA_E_INVALIDARG = 0x80070057u;        // missing or refused argument
constexpr unsigned int QOVA_E_MISSING_ARG = 0x80070058u;       // missing argument of a thin PKCS#11 wrapper
constexpr unsigned int QOVA_E_OPEN_FAILED = 0x8007006Eu;       // module or signature file cannot be opened
constexpr unsigned int QOVA_E_CANCELLED = 0x800704C7u;         // the user cancelled the selection
constexpr unsigned int QOVA_E_INTERNAL = 0x8007054Fu;          // no certificate store, identifier of wrong length
constexpr unsigned int QOVA_E_ENCRYPT_FAILED = 0x80071770u;    // symmetric or RSA encryption failed
constexpr unsigned int QOVA_E_DECRYPT_FAILED = 0x80071771u;    // decryption failed, recipient mismatch, bad cipher
constexpr unsigned int QOVA_E_BAD_SIGNATURE = 0x80090006u;     // signature does not verify
constexpr unsigned int QOVA_E_BAD_ALGID = 0x80090008u;         // digest unknown or hash name not allowed
constexpr unsigned int QOVA_E_BAD_KEYSET = 0x80090016u;        // no token holds the key container
constexpr unsigned int QOVA_E_NO_OBJECT = 0x8009002Au;         // no matching token object
constexpr unsigned int QOVA_E_ITEM_MISSING = 0x8009002Du;      // parameter item missing; fallback response code

// The system's own family.
constexpr unsigned int QOVA_E_NO_CERT = 0xA0071001u;              // no certificate found or none passed the filter
constexpr unsigned int QOVA_E_BASE64_ENCODE = 0xA0071004u;
constexpr unsigned int QOVA_E_BASE64_DECODE = 0xA0071005u;
constexpr unsigned int QOVA_E_CERT_TIME = 0xA0071031u;            // not yet valid or expired
constexpr unsigned int QOVA_E_CERT_REVOKED = 0xA0071032u;
constexpr unsigned int QOVA_E_CERT_CHAIN = 0xA0071033u;
constexpr unsigned int QOVA_E_MALFORMED = 0xA0071041u;            // PKCS#12 or SM2Cipher malformed, attribute missing
constexpr unsigned int QOVA_E_DER_TOO_LARGE = 0xA0071101u;        // DER encoding above 0x3200000 bytes
constexpr unsigned int QOVA_E_DER_TOO_DEEP = 0xA0071102u;         // DER nesting too deep
constexpr unsigned int QOVA_E_NOT_KEY_CONTAINER = 0xA0071103u;
constexpr unsigned int QOVA_E_PKCS7_SHAPE = 0xA0071104u;
constexpr unsigned int QOVA_E_ENVELOPE_SHAPE = 0xA0071105u;
constexpr unsigned int QOVA_E_RECIPIENT_MISMATCH = 0xA0071106u;
constexpr unsigned int QOVA_E_CONTAINER_PIN = 0xA0071108u;
constexpr unsigned int QOVA_E_P11_BASE = 0xA0071800u;             // | low 16 bits of a failing CK_RV
constexpr unsigned int QOVA_E_P11_NOT_SUPPORTED = 0xA0071854u;
constexpr unsigned int QOVA_E_P11_NOT_X509 = 0xA0071863u;
constexpr unsigned int QOVA_E_NO_SELECTED_CERT = 0xA0072001u;
constexpr unsigned int QOVA_E_PIN_FINAL_TRY = 0xA0072002u;        // one PIN try left: the stored PIN is not tried
constexpr unsigned int QOVA_E_PIN_GUARD_UNAVAILABLE = 0xA0072003u; // no login lock: the stored PIN is not tried
constexpr unsigned int QOVA_E_KEY_USAGE = 0xA0072021u;
constexpr unsigned int QOVA_E_SM2_SIG_ENCODING = 0xA0072022u;
constexpr unsigned int QOVA_E_ENVELOPE_TYPE = 0xA0072023u;
constexpr unsigned int QOVA_E_SM2_PKCS1_FILE = 0xA0072401u;
constexpr unsigned int QOVA_E_NO_GETFUNCTIONLIST = 0xA0073001u;
constexpr unsigned int QOVA_E_NO_FUNCTIONLIST = 0xA0073002u;
constexpr unsigned int QOVA_E_MODULE_NOT_LOADED = 0xA0073005u;
constexpr unsigned int QOVA_E_RESPONSE_CREATE = 0xA0073202u;
constexpr unsigned int QOVA_E_PARAM_TYPE = 0xA0073204u;

// A failing PKCS#11 return value r becomes (r | 0xA0071800) & 0xA007FFFF.
constexpr unsigned int QovaP11Result(unsigned long rv)
{
    return (static_cast<unsigned int>(rv) | QOVA_E_P11_BASE) & 0xA007FFFFu;
}

#else
#define QOVA_OK 0u
#endif

#endif

// Signature, verification, digest, decryption and random calls.
//
// One table row per mechanism says what it serves and how; the entry points share the standard's
// life cycle of an operation: a *Init starts it, a size query (null output) or a buffer too small
// leaves it active, any other answer of its last call ends it, and so does a failing update.
#include "TestP11Calls.h"
#include "TestP11Sm2.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace testp11 {

enum class KeyKind { None, Rsa, Sm2 };

// What the module does with one mechanism. A null function: the mechanism does not serve that kind.
struct Mechanism
{
    CK_MECHANISM_TYPE type;
    const char* digest;       // OpenSSL name of the digest of digest and hash-and-sign mechanisms
    KeyKind key;
    CK_ULONG parameterLength; // the exact parameter length the mechanism takes (0: none)
    bool multiPart;           // update calls allowed
    CK_RV (*sign)(const CryptoOperation& op, const Bytes& input, Bytes* signature);
    CK_RV (*verify)(const CryptoOperation& op, const Bytes& input, const Bytes& signature);
    CK_RV (*decrypt)(const CryptoOperation& op, const Bytes& input, Bytes* plaintext);
    // The size query's answer: an upper bound of the output, as tokens give it.
    CK_ULONG (*bound)(const CryptoOperation& op, const Bytes& input);
};

namespace {

using Guard = std::lock_guard<std::mutex>;

// The vendor SM2 mechanisms, below CKM_VENDOR_DEFINED.
constexpr CK_MECHANISM_TYPE kSm2Decrypt = 0x00010001;
constexpr CK_MECHANISM_TYPE kSm2SignHash = 0x00010002;
constexpr CK_MECHANISM_TYPE kSm2Sm3 = 0x00010004;
// A DER SEQUENCE{r, s} of two 256-bit values is at most 72 bytes long.
constexpr CK_ULONG kSm2SignatureBound = 72;

struct Free
{
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};

std::string HexUlong(CK_ULONG value)
{
    char text[24];
    snprintf(text, sizeof(text), "0x%08lx", value);
    return text;
}

CK_ULONG KeySize(const CryptoOperation& op, const Bytes&)
{
    return static_cast<CK_ULONG>(EVP_PKEY_get_size(op.key.get()));
}

CK_ULONG DigestSize(const CryptoOperation& op, const Bytes&)
{
    std::unique_ptr<EVP_MD, Free> md(EVP_MD_fetch(nullptr, op.mechanism->digest, nullptr));
    return md ? static_cast<CK_ULONG>(EVP_MD_get_size(md.get())) : 0;
}

CK_ULONG Sm2SigSize(const CryptoOperation&, const Bytes&)
{
    return std::max(kSm2SignatureBound, Module::Instance().config.sigDerLength);
}

// The plaintext is shorter than the ciphertext; the size query answers the longer length.
CK_ULONG InputSize(const CryptoOperation&, const Bytes& input)
{
    return input.size();
}

bool Digest(const char* name, const Bytes& input, Bytes* out)
{
    std::unique_ptr<EVP_MD, Free> md(EVP_MD_fetch(nullptr, name, nullptr));
    unsigned int length = EVP_MAX_MD_SIZE;
    out->resize(EVP_MAX_MD_SIZE);
    if (!md || 1 != EVP_Digest(input.data(), input.size(), out->data(), &length, md.get(), nullptr))
        return false;
    out->resize(length);
    return true;
}

// A key context set up for PKCS #1 v1.5 by init (EVP_PKEY_sign_init, ..._verify_init, ..._decrypt_init).
std::unique_ptr<EVP_PKEY_CTX, Free> RsaContext(const CryptoOperation& op, int (*init)(EVP_PKEY_CTX*))
{
    std::unique_ptr<EVP_PKEY_CTX, Free> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, op.key.get(), nullptr));
    if (!ctx || 1 != init(ctx.get()) || 1 != EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING))
        return nullptr;
    return ctx;
}

// CKM_RSA_PKCS: the input (a DigestInfo) is padded and signed as it stands.
CK_RV RsaSignBlock(const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    auto ctx = RsaContext(op, EVP_PKEY_sign_init);
    size_t length = 0;
    if (!ctx || input.size() + 11 > KeySize(op, input))
        return CKR_DATA_LEN_RANGE;
    if (1 != EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()))
        return CKR_FUNCTION_FAILED;
    out->resize(length);
    if (1 != EVP_PKEY_sign(ctx.get(), out->data(), &length, input.data(), input.size()))
        return CKR_FUNCTION_FAILED;
    out->resize(length);
    return CKR_OK;
}

CK_RV RsaVerifyBlock(const CryptoOperation& op, const Bytes& input, const Bytes& signature)
{
    auto ctx = RsaContext(op, EVP_PKEY_verify_init);
    if (!ctx)
        return CKR_FUNCTION_FAILED;
    if (signature.size() != KeySize(op, input))
        return CKR_SIGNATURE_LEN_RANGE;
    return 1 == EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), input.data(), input.size())
               ? CKR_OK
               : CKR_SIGNATURE_INVALID;
}

// CKM_xxx_RSA_PKCS: hash, DigestInfo, PKCS #1 v1.5.
CK_RV RsaSignHashed(const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    std::unique_ptr<EVP_MD_CTX, Free> ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx || 1 != EVP_DigestSignInit_ex(ctx.get(), nullptr, op.mechanism->digest, nullptr, nullptr,
                                           op.key.get(), nullptr) ||
        1 != EVP_DigestSign(ctx.get(), nullptr, &length, input.data(), input.size()))
        return CKR_FUNCTION_FAILED;
    out->resize(length);
    if (1 != EVP_DigestSign(ctx.get(), out->data(), &length, input.data(), input.size()))
        return CKR_FUNCTION_FAILED;
    out->resize(length);
    return CKR_OK;
}

CK_RV RsaVerifyHashed(const CryptoOperation& op, const Bytes& input, const Bytes& signature)
{
    std::unique_ptr<EVP_MD_CTX, Free> ctx(EVP_MD_CTX_new());
    if (!ctx || 1 != EVP_DigestVerifyInit_ex(ctx.get(), nullptr, op.mechanism->digest, nullptr, nullptr,
                                             op.key.get(), nullptr))
        return CKR_FUNCTION_FAILED;
    if (signature.size() != KeySize(op, input))
        return CKR_SIGNATURE_LEN_RANGE;
    return 1 == EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), input.data(), input.size())
               ? CKR_OK
               : CKR_SIGNATURE_INVALID;
}

CK_RV RsaDecrypt(const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    auto ctx = RsaContext(op, EVP_PKEY_decrypt_init);
    if (!ctx)
        return CKR_FUNCTION_FAILED;
    if (input.size() != KeySize(op, input))
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    size_t length = input.size();
    out->resize(length);
    if (1 != EVP_PKEY_decrypt(ctx.get(), out->data(), &length, input.data(), input.size()))
        return CKR_ENCRYPTED_DATA_INVALID;
    out->resize(length);
    return CKR_OK;
}

// An SM2 signature of e in DER, or of the length `sigderlen` asks for.
CK_RV Sm2SignValue(const CryptoOperation& op, const Bytes& e, Bytes* out)
{
    const CK_ULONG wanted = Module::Instance().config.sigDerLength;
    // Lengths below 69 need values with many leading zero bits: practically out of reach.
    const bool reachable = wanted >= 66 && wanted <= 72;
    for (int attempt = 0; attempt < (reachable ? 8192 : 1); ++attempt) {
        if (!sm2::Sign(op.key.get(), e, out))
            return CKR_FUNCTION_FAILED;
        if (wanted == 0 || out->size() == wanted)
            return CKR_OK;
    }
    if (reachable)
        return CKR_FUNCTION_FAILED;
    out->resize(wanted, 0);
    return CKR_OK;
}

CK_RV Sm2SignMessage(const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    Bytes e;
    return sm2::MessageDigest(op.key.get(), input, &e) ? Sm2SignValue(op, e, out) : CKR_FUNCTION_FAILED;
}

CK_RV Sm2SignHash(const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    return input.size() == 32 ? Sm2SignValue(op, input, out) : CKR_DATA_LEN_RANGE;
}

CK_RV Sm2VerifyMessage(const CryptoOperation& op, const Bytes& input, const Bytes& signature)
{
    Bytes e;
    if (!sm2::MessageDigest(op.key.get(), input, &e))
        return CKR_FUNCTION_FAILED;
    return sm2::Verify(op.key.get(), e, signature) ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV Sm2VerifyHash(const CryptoOperation& op, const Bytes& input, const Bytes& signature)
{
    if (input.size() != 32)
        return CKR_DATA_LEN_RANGE;
    return sm2::Verify(op.key.get(), input, signature) ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV Sm2Decrypt(const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    return sm2::Decrypt(op.key.get(), input, out) ? CKR_OK : CKR_ENCRYPTED_DATA_INVALID;
}

// Mechanisms the module serves; add a row to serve another. n: the parameter's length.
const Mechanism kMechanisms[] = {
  // type                 digest    key            n  multi  sign            verify            decrypt     bound
    {CKM_MD5,             "MD5",    KeyKind::None, 0, true,  nullptr,        nullptr,          nullptr,    DigestSize},
    {CKM_SHA_1,           "SHA1",   KeyKind::None, 0, true,  nullptr,        nullptr,          nullptr,    DigestSize},
    {CKM_SHA256,          "SHA256", KeyKind::None, 0, true,  nullptr,        nullptr,          nullptr,    DigestSize},
    {CKM_SHA384,          "SHA384", KeyKind::None, 0, true,  nullptr,        nullptr,          nullptr,    DigestSize},
    {CKM_SHA512,          "SHA512", KeyKind::None, 0, true,  nullptr,        nullptr,          nullptr,    DigestSize},
    {CKM_RSA_PKCS,        nullptr,  KeyKind::Rsa,  0, false, RsaSignBlock,   RsaVerifyBlock,   RsaDecrypt, KeySize},
    {CKM_MD5_RSA_PKCS,    "MD5",    KeyKind::Rsa,  0, true,  RsaSignHashed,  RsaVerifyHashed,  nullptr,    KeySize},
    {CKM_SHA1_RSA_PKCS,   "SHA1",   KeyKind::Rsa,  0, true,  RsaSignHashed,  RsaVerifyHashed,  nullptr,    KeySize},
    {CKM_SHA256_RSA_PKCS, "SHA256", KeyKind::Rsa,  0, true,  RsaSignHashed,  RsaVerifyHashed,  nullptr,    KeySize},
    {CKM_SHA384_RSA_PKCS, "SHA384", KeyKind::Rsa,  0, true,  RsaSignHashed,  RsaVerifyHashed,  nullptr,    KeySize},
    {CKM_SHA512_RSA_PKCS, "SHA512", KeyKind::Rsa,  0, true,  RsaSignHashed,  RsaVerifyHashed,  nullptr,    KeySize},
    {kSm2Sm3,             nullptr,  KeyKind::Sm2,  1, true,  Sm2SignMessage, Sm2VerifyMessage, nullptr,    Sm2SigSize},
    {kSm2SignHash,        nullptr,  KeyKind::Sm2,  0, false, Sm2SignHash,    Sm2VerifyHash,    nullptr,    Sm2SigSize},
    {kSm2Decrypt,         nullptr,  KeyKind::Sm2,  0, false, nullptr,        nullptr,          Sm2Decrypt, InputSize},
};

enum class Kind { Sign, Verify, Digest, Decrypt };

CryptoOperation& OperationOf(Session& session, Kind kind)
{
    switch (kind) {
    case Kind::Sign: return session.sign;
    case Kind::Verify: return session.verify;
    case Kind::Digest: return session.digest;
    case Kind::Decrypt: break;
    }
    return session.decrypt;
}

bool Serves(const Mechanism& mechanism, Kind kind)
{
    switch (kind) {
    case Kind::Sign: return mechanism.sign != nullptr;
    case Kind::Verify: return mechanism.verify != nullptr;
    case Kind::Digest: return mechanism.key == KeyKind::None;
    case Kind::Decrypt: break;
    }
    return mechanism.decrypt != nullptr;
}

const Mechanism* FindMechanism(CK_MECHANISM_TYPE type, Kind kind)
{
    for (const Mechanism& mechanism : kMechanisms) {
        if (mechanism.type == type)
            return Serves(mechanism, kind) ? &mechanism : nullptr;
    }
    return nullptr;
}

bool KeyFits(const Mechanism& mechanism, const EVP_PKEY* key)
{
    const bool rsa = EVP_PKEY_is_a(key, "RSA");
    return mechanism.key == KeyKind::Rsa ? rsa : !rsa;
}

CK_RV InitOperation(const char* function, Kind kind, CK_SESSION_HANDLE handle, CK_MECHANISM* mechanism,
                    CK_OBJECT_HANDLE keyHandle)
{
    CallRecord call(function);
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    if (mechanism != nullptr) {
        call.Field("mech", HexUlong(mechanism->mechanism));
        call.HexField("param", mechanism->pParameter, mechanism->ulParameterLen);
    }
    if (kind != Kind::Digest)
        call.Field("key", keyHandle);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (mechanism == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    CryptoOperation& op = OperationOf(*session, kind);
    if (op.active)
        return call.Return(CKR_OPERATION_ACTIVE);
    const Mechanism* row = FindMechanism(mechanism->mechanism, kind);
    if (row == nullptr)
        return call.Return(CKR_MECHANISM_INVALID);
    if (mechanism->ulParameterLen != row->parameterLength ||
        (row->parameterLength != 0 && mechanism->pParameter == nullptr))
        return call.Return(CKR_MECHANISM_PARAM_INVALID);

    EvpPkeyPtr key;
    if (kind != Kind::Digest) {
        const CK_OBJECT_CLASS keyClass = kind == Kind::Verify ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY;
        const Object* object = module.VisibleObject(*session, keyHandle);
        if (object == nullptr || !object->key || object->Ulong(CKA_CLASS, CK_UNAVAILABLE_INFORMATION) != keyClass)
            return call.Return(CKR_KEY_HANDLE_INVALID);
        if (!KeyFits(*row, object->key.get()))
            return call.Return(CKR_KEY_TYPE_INCONSISTENT);
        key = object->key;
    }
    op = CryptoOperation();
    op.active = true;
    op.mechanism = row;
    if (row->parameterLength != 0) {
        const unsigned char* parameter = static_cast<const unsigned char*>(mechanism->pParameter);
        op.parameter.assign(parameter, parameter + row->parameterLength);
    }
    op.key = key;
    return call.Return(CKR_OK);
}

// A call that continues the session's operation of this kind. An injected failure ends the
// operation as a real one would (but for CKR_BUFFER_TOO_SMALL).
CK_RV EnterOperation(Module& module, CallRecord& call, CK_SESSION_HANDLE handle, Kind kind, CryptoOperation** op)
{
    Session* session = nullptr;
    const CK_RV rv = EnterSession(module, call, handle, &session);
    if (session == nullptr)
        return rv;
    CryptoOperation& current = OperationOf(*session, kind);
    if (rv != CKR_OK) {
        if (rv != CKR_BUFFER_TOO_SMALL)
            current = CryptoOperation();
        return rv;
    }
    if (!current.active)
        return CKR_OPERATION_NOT_INITIALIZED;
    *op = &current;
    return CKR_OK;
}

CK_RV Work(Kind kind, const CryptoOperation& op, const Bytes& input, Bytes* out)
{
    switch (kind) {
    case Kind::Sign: return op.mechanism->sign(op, input, out);
    case Kind::Digest: return Digest(op.mechanism->digest, input, out) ? CKR_OK : CKR_FUNCTION_FAILED;
    case Kind::Decrypt: return op.mechanism->decrypt(op, input, out);
    case Kind::Verify: break;
    }
    return CKR_FUNCTION_FAILED;
}

// The last call of an operation with an output.
CK_RV FinishWithOutput(Kind kind, CryptoOperation& op, const Bytes& input, unsigned char* out, CK_ULONG* outLen,
                       CallRecord& call)
{
    if (outLen == nullptr) {
        op = CryptoOperation();
        return CKR_ARGUMENTS_BAD;
    }
    if (out == nullptr) {
        const CK_ULONG sizeQuery = Module::Instance().config.sizeQuery;
        *outLen = sizeQuery != 0 ? sizeQuery : op.mechanism->bound(op, input);
        call.Field("answer", *outLen);
        return CKR_OK;
    }
    Bytes result;
    const CK_RV rv = Work(kind, op, input, &result);
    if (rv == CKR_OK && *outLen < result.size()) {
        *outLen = result.size();
        call.Field("answer", *outLen);
        OPENSSL_cleanse(result.data(), result.size());
        return CKR_BUFFER_TOO_SMALL;
    }
    if (rv == CKR_OK) {
        if (!result.empty())
            memcpy(out, result.data(), result.size());
        *outLen = result.size();
        call.Field("answer", *outLen);
    }
    // Decrypted keys are secrets, in the module too.
    OPENSSL_cleanse(result.data(), result.size());
    op = CryptoOperation();
    return rv;
}

Bytes Input(const unsigned char* data, CK_ULONG length)
{
    return data == nullptr ? Bytes() : Bytes(data, data + length);
}

// C_Sign, C_Digest, C_Decrypt.
CK_RV SinglePart(const char* function, Kind kind, CK_SESSION_HANDLE handle, unsigned char* data, CK_ULONG length,
                 unsigned char* out, CK_ULONG* outLen)
{
    CallRecord call(function);
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("len", length).Field("out", out == nullptr ? "null" : "set");
    CryptoOperation* op = nullptr;
    if (const CK_RV rv = EnterOperation(module, call, handle, kind, &op))
        return call.Return(rv);
    if (data == nullptr && length != 0) {
        *op = CryptoOperation();
        return call.Return(CKR_ARGUMENTS_BAD);
    }
    return call.Return(FinishWithOutput(kind, *op, Input(data, length), out, outLen, call));
}

// C_SignUpdate, C_VerifyUpdate, C_DigestUpdate.
CK_RV Update(const char* function, Kind kind, CK_SESSION_HANDLE handle, unsigned char* part, CK_ULONG length)
{
    CallRecord call(function);
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("len", length);
    CryptoOperation* op = nullptr;
    if (const CK_RV rv = EnterOperation(module, call, handle, kind, &op))
        return call.Return(rv);
    if (!op->mechanism->multiPart || (part == nullptr && length != 0)) {
        const CK_RV rv = op->mechanism->multiPart ? CKR_ARGUMENTS_BAD : CKR_FUNCTION_NOT_SUPPORTED;
        *op = CryptoOperation();
        return call.Return(rv);
    }
    const Bytes bytes = Input(part, length);
    op->input.insert(op->input.end(), bytes.begin(), bytes.end());
    return call.Return(CKR_OK);
}

// C_SignFinal, C_DigestFinal.
CK_RV Final(const char* function, Kind kind, CK_SESSION_HANDLE handle, unsigned char* out, CK_ULONG* outLen)
{
    CallRecord call(function);
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("out", out == nullptr ? "null" : "set");
    CryptoOperation* op = nullptr;
    if (const CK_RV rv = EnterOperation(module, call, handle, kind, &op))
        return call.Return(rv);
    const Bytes input = op->input;
    return call.Return(FinishWithOutput(kind, *op, input, out, outLen, call));
}

// C_Verify (data given) and C_VerifyFinal (data gathered): both always end the operation.
CK_RV FinishVerify(const char* function, CK_SESSION_HANDLE handle, const unsigned char* data, CK_ULONG length,
                   bool single, unsigned char* signature, CK_ULONG signatureLength)
{
    CallRecord call(function);
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    if (single)
        call.Field("len", length);
    call.Field("siglen", signatureLength);
    CryptoOperation* op = nullptr;
    if (const CK_RV rv = EnterOperation(module, call, handle, Kind::Verify, &op))
        return call.Return(rv);
    CK_RV rv = CKR_ARGUMENTS_BAD;
    if ((data != nullptr || length == 0) && (signature != nullptr || signatureLength == 0))
        rv = op->mechanism->verify(*op, single ? Input(data, length) : op->input, Input(signature, signatureLength));
    *op = CryptoOperation();
    return call.Return(rv);
}

// C_SeedRandom and C_GenerateRandom: any session, no login needed.
CK_RV Random(const char* function, CK_SESSION_HANDLE handle, unsigned char* buffer, CK_ULONG length, bool generate)
{
    CallRecord call(function);
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("len", length);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (buffer == nullptr && length != 0)
        return call.Return(CKR_ARGUMENTS_BAD);
    if (generate && length != 0 && 1 != RAND_bytes(buffer, static_cast<int>(std::min<CK_ULONG>(length, INT_MAX))))
        return call.Return(CKR_FUNCTION_FAILED);
    return call.Return(CKR_OK);
}

}  // namespace

CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key)
{
    return InitOperation("C_SignInit", Kind::Sign, session, mechanism, key);
}

CK_RV Sign(CK_SESSION_HANDLE session, unsigned char* data, CK_ULONG dataLen, unsigned char* signature,
           CK_ULONG* signatureLen)
{
    return SinglePart("C_Sign", Kind::Sign, session, data, dataLen, signature, signatureLen);
}

CK_RV SignUpdate(CK_SESSION_HANDLE session, unsigned char* part, CK_ULONG partLen)
{
    return Update("C_SignUpdate", Kind::Sign, session, part, partLen);
}

CK_RV SignFinal(CK_SESSION_HANDLE session, unsigned char* signature, CK_ULONG* signatureLen)
{
    return Final("C_SignFinal", Kind::Sign, session, signature, signatureLen);
}

CK_RV VerifyInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key)
{
    return InitOperation("C_VerifyInit", Kind::Verify, session, mechanism, key);
}

CK_RV Verify(CK_SESSION_HANDLE session, unsigned char* data, CK_ULONG dataLen, unsigned char* signature,
             CK_ULONG signatureLen)
{
    return FinishVerify("C_Verify", session, data, dataLen, true, signature, signatureLen);
}

CK_RV VerifyUpdate(CK_SESSION_HANDLE session, unsigned char* part, CK_ULONG partLen)
{
    return Update("C_VerifyUpdate", Kind::Verify, session, part, partLen);
}

CK_RV VerifyFinal(CK_SESSION_HANDLE session, unsigned char* signature, CK_ULONG signatureLen)
{
    return FinishVerify("C_VerifyFinal", session, nullptr, 0, false, signature, signatureLen);
}

CK_RV DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism)
{
    return InitOperation("C_DigestInit", Kind::Digest, session, mechanism, 0);
}

CK_RV Digest(CK_SESSION_HANDLE session, unsigned char* data, CK_ULONG dataLen, unsigned char* digest,
             CK_ULONG* digestLen)
{
    return SinglePart("C_Digest", Kind::Digest, session, data, dataLen, digest, digestLen);
}

CK_RV DigestUpdate(CK_SESSION_HANDLE session, unsigned char* part, CK_ULONG partLen)
{
    return Update("C_DigestUpdate", Kind::Digest, session, part, partLen);
}

CK_RV DigestFinal(CK_SESSION_HANDLE session, unsigned char* digest, CK_ULONG* digestLen)
{
    return Final("C_DigestFinal", Kind::Digest, session, digest, digestLen);
}

CK_RV DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key)
{
    return InitOperation("C_DecryptInit", Kind::Decrypt, session, mechanism, key);
}

CK_RV Decrypt(CK_SESSION_HANDLE session, unsigned char* encrypted, CK_ULONG encryptedLen, unsigned char* data,
              CK_ULONG* dataLen)
{
    return SinglePart("C_Decrypt", Kind::Decrypt, session, encrypted, encryptedLen, data, dataLen);
}

CK_RV SeedRandom(CK_SESSION_HANDLE session, unsigned char* seed, CK_ULONG seedLen)
{
    return Random("C_SeedRandom", session, seed, seedLen, false);
}

CK_RV GenerateRandom(CK_SESSION_HANDLE session, unsigned char* randomData, CK_ULONG randomLen)
{
    return Random("C_GenerateRandom", session, randomData, randomLen, true);
}

}  // namespace testp11

// Normalising the SM content types at the boundaries of the library's PKCS#7 and PKCS#12 code.
#include "SMContentTypes.h"

#include "RegistryDetail.h"
#include "SMRegistry.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

template <typename T, void (*Free)(T*)>
struct Freer
{
    void operator()(T* p) const { Free(p); }
};
void FreeBytes(unsigned char* p)
{
    OPENSSL_free(p);
}
void FreeTypeSeq(STACK_OF(ASN1_TYPE)* p)
{
    sk_ASN1_TYPE_pop_free(p, ASN1_TYPE_free);
}
void FreePkcs7Stack(STACK_OF(PKCS7)* p)
{
    sk_PKCS7_pop_free(p, PKCS7_free);
}
using Pkcs7Ptr = std::unique_ptr<PKCS7, Freer<PKCS7, PKCS7_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Freer<PKCS12, PKCS12_free>>;
using Pkcs7StackPtr = std::unique_ptr<STACK_OF(PKCS7), Freer<STACK_OF(PKCS7), FreePkcs7Stack>>;
using TypeSeqPtr = std::unique_ptr<STACK_OF(ASN1_TYPE), Freer<STACK_OF(ASN1_TYPE), FreeTypeSeq>>;
using StringPtr = std::unique_ptr<ASN1_STRING, Freer<ASN1_STRING, ASN1_STRING_free>>;
using BytesPtr = std::unique_ptr<unsigned char, Freer<unsigned char, FreeBytes>>;

bool IsSm(int nid, const int& smNid)
{
    return nid != NID_undef && nid == smNid;
}

// Replaces the structure's type object (objects the decoder made for unknown OIDs are its own).
void SetType(PKCS7* p7, int nid)
{
    ASN1_OBJECT_free(p7->type);
    p7->type = OBJ_nid2obj(nid);
}

// An SM data structure's content into d.data: an OCTET STRING, or nothing when bAbsentAllowed.
bool NormaliseData(PKCS7* p7, bool bAbsentAllowed)
{
    ASN1_TYPE* any = p7->d.other;
    if (any == nullptr && !bAbsentAllowed) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
        return false;
    }
    ASN1_OCTET_STRING* octets = nullptr;
    if (any != nullptr) {
        if (any->type != V_ASN1_OCTET_STRING || any->value.octet_string == nullptr) {
            ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
            return false;
        }
        // The string moves from the ANY to the structure.
        octets = any->value.octet_string;
        any->value.octet_string = nullptr;
        ASN1_TYPE_free(any);
    }
    SetType(p7, NID_pkcs7_data);
    p7->d.data = octets;
    return true;
}

// An SM signedData structure's content, kept by the library as an ANY, read as SignedData.
bool NormaliseSigned(PKCS7* p7)
{
    ASN1_TYPE* any = p7->d.other;
    if (any == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
        return false;
    }
    // A SEQUENCE keeps its whole encoding in the ANY; anything else must not be decoded as one.
    const ASN1_STRING* seq = any->type == V_ASN1_SEQUENCE ? any->value.sequence : nullptr;
    if (seq == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
        return false;
    }
    const unsigned char* p = ASN1_STRING_get0_data(seq);
    const unsigned char* const end = p + ASN1_STRING_length(seq);
    PKCS7_SIGNED* sd = d2i_PKCS7_SIGNED(nullptr, &p, ASN1_STRING_length(seq));
    if (sd == nullptr || p != end) {
        PKCS7_SIGNED_free(sd);
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
        return false;
    }
    ASN1_TYPE_free(any);
    SetType(p7, NID_pkcs7_signed);
    p7->d.sign = sd;
    return true;
}

// The structure and a signedData's content, in place. *smTypes receives what was SM.
bool Normalise(PKCS7* p7, int* smTypes)
{
    *smTypes = 0;
    const int nid = OBJ_obj2nid(p7->type);
    if (IsSm(nid, kNidSmSignedData)) {
        if (!NormaliseSigned(p7))
            return false;
        *smTypes |= SM_PKCS7_TYPE_OUTER;
    } else if (IsSm(nid, kNidSmData)) {
        if (!NormaliseData(p7, false))
            return false;
        *smTypes |= SM_PKCS7_TYPE_OUTER;
    }
    // Absent signed content is a detached signature.
    if (PKCS7_type_is_signed(p7) && p7->d.sign != nullptr && p7->d.sign->contents != nullptr &&
        IsSm(OBJ_obj2nid(p7->d.sign->contents->type), kNidSmData)) {
        if (!NormaliseData(p7->d.sign->contents, true))
            return false;
        *smTypes |= SM_PKCS7_TYPE_CONTENT;
    }
    return true;
}

}  // namespace

PKCS7* SM_d2i_PKCS7(PKCS7** a, const unsigned char** pp, long length, int* pnSmTypes)
{
    if (pp == nullptr || *pp == nullptr || length <= 0) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    smdetail::RegisterObjects();
    const unsigned char* p = *pp;
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, length));
    int smTypes = 0;
    if (!p7 || !Normalise(p7.get(), &smTypes))
        return nullptr;
    if (a != nullptr) {
        PKCS7_free(*a);
        *a = p7.get();
    }
    *pp = p;
    if (pnSmTypes != nullptr)
        *pnSmTypes = smTypes;
    return p7.release();
}

int SM_i2d_PKCS7(const PKCS7* p7, int nSmTypes, unsigned char** out)
{
    if (p7 == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
        return -1;
    }
    smdetail::RegisterObjects();
    const int nid = OBJ_obj2nid(p7->type);
    const bool smOuter = (nSmTypes & SM_PKCS7_TYPE_OUTER) && (nid == NID_pkcs7_signed || nid == NID_pkcs7_data);
    const PKCS7* inner = nid == NID_pkcs7_signed && p7->d.sign != nullptr ? p7->d.sign->contents : nullptr;
    const bool smInner = (nSmTypes & SM_PKCS7_TYPE_CONTENT) && inner != nullptr && PKCS7_type_is_data(inner);
    if (!smOuter && !smInner)
        return i2d_PKCS7(p7, out);

    // Views of the structure with the SM types: they borrow every part from p7 and own nothing but
    // the re-encoded SignedData, so p7 stays as it is.
    PKCS7 innerView = inner != nullptr ? *inner : PKCS7{};
    ASN1_TYPE innerAny{};
    if (smInner) {
        innerView.type = OBJ_nid2obj(kNidSmData);
        innerAny.type = V_ASN1_OCTET_STRING;
        innerAny.value.octet_string = inner->d.data;
        innerView.d.other = inner->d.data != nullptr ? &innerAny : nullptr;
    }
    PKCS7_SIGNED signedView = p7->d.sign != nullptr && nid == NID_pkcs7_signed ? *p7->d.sign : PKCS7_SIGNED{};
    if (smInner)
        signedView.contents = &innerView;

    PKCS7 outerView = *p7;
    if (nid == NID_pkcs7_signed && p7->d.sign != nullptr)
        outerView.d.sign = &signedView;
    if (!smOuter)
        return i2d_PKCS7(&outerView, out);

    ASN1_TYPE outerAny{};
    StringPtr signedDer;
    if (nid == NID_pkcs7_signed) {
        outerView.type = OBJ_nid2obj(kNidSmSignedData);
        if (p7->d.sign != nullptr) {
            unsigned char* der = nullptr;
            const int len = i2d_PKCS7_SIGNED(&signedView, &der);
            signedDer.reset(len > 0 ? ASN1_STRING_type_new(V_ASN1_SEQUENCE) : nullptr);
            if (!signedDer) {
                OPENSSL_free(der);
                return -1;
            }
            ASN1_STRING_set0(signedDer.get(), der, len);
            outerAny.type = V_ASN1_SEQUENCE;
            outerAny.value.sequence = signedDer.get();
        }
    } else {
        outerView.type = OBJ_nid2obj(kNidSmData);
        outerAny.type = V_ASN1_OCTET_STRING;
        outerAny.value.octet_string = p7->d.data;
    }
    const bool bHasContent = nid == NID_pkcs7_signed ? p7->d.sign != nullptr : p7->d.data != nullptr;
    outerView.d.other = bHasContent ? &outerAny : nullptr;
    return i2d_PKCS7(&outerView, out);
}

int SM_PKCS7_set_type(PKCS7* p7, int type)
{
    smdetail::RegisterObjects();
    if (IsSm(type, kNidSmSignedData))
        type = NID_pkcs7_signed;
    else if (IsSm(type, kNidSmData))
        type = NID_pkcs7_data;
    return PKCS7_set_type(p7, type);
}

namespace {

// A PFX read as a plain SEQUENCE: its authenticated safe (element 1) normalised, then the whole
// read as PKCS#12. der/length: the encoding the sequence came from, when there is one.
PKCS12* Pkcs12FromSequence(STACK_OF(ASN1_TYPE)* pfx, const unsigned char* der, long length)
{
    ASN1_TYPE* safe = sk_ASN1_TYPE_num(pfx) > 1 ? sk_ASN1_TYPE_value(pfx, 1) : nullptr;
    ASN1_STRING* safeDer = safe != nullptr && safe->type == V_ASN1_SEQUENCE ? safe->value.sequence : nullptr;
    int smTypes = 0;
    if (safeDer != nullptr) {
        const unsigned char* p = ASN1_STRING_get0_data(safeDer);
        Pkcs7Ptr authSafe(SM_d2i_PKCS7(nullptr, &p, ASN1_STRING_length(safeDer), &smTypes));
        if (!authSafe)
            return nullptr;
        if (smTypes != 0) {
            // The safe's own octets stay as they are: the MAC covers only them.
            unsigned char* stock = nullptr;
            const int len = i2d_PKCS7(authSafe.get(), &stock);
            if (len <= 0)
                return nullptr;
            ASN1_STRING_set0(safeDer, stock, len);
        }
    }
    BytesPtr reencoded;
    if (smTypes != 0 || der == nullptr) {
        unsigned char* out = nullptr;
        length = i2d_ASN1_SEQUENCE_ANY(pfx, &out);
        reencoded.reset(out);
        der = out;
        if (length <= 0)
            return nullptr;
    }
    return d2i_PKCS12(nullptr, &der, length);
}

// The password the MAC verifies with, as the library's parser picks it: an empty one may be
// either no password or the empty text.
bool MacPassword(PKCS12* p12, const char* pass, const char** macPass)
{
    *macPass = pass;
    if (!PKCS12_mac_present(p12))
        return true;
    if (pass != nullptr && *pass != '\0')
        return PKCS12_verify_mac(p12, pass, -1) == 1;
    *macPass = nullptr;
    if (PKCS12_verify_mac(p12, nullptr, 0) == 1)
        return true;
    *macPass = "";
    return PKCS12_verify_mac(p12, "", 0) == 1;
}

// The MAC again over the present safes, with the parameters of the one it replaces.
bool ResetMac(PKCS12* p12, const char* macPass)
{
    const ASN1_OCTET_STRING* salt = nullptr;
    const X509_ALGOR* alg = nullptr;
    const ASN1_INTEGER* iter = nullptr;
    PKCS12_get0_mac(nullptr, &alg, &salt, &iter, p12);
    const ASN1_OBJECT* mdObject = nullptr;
    if (alg != nullptr)
        X509_ALGOR_get0(&mdObject, nullptr, nullptr, alg);
    const EVP_MD* md = mdObject != nullptr ? EVP_get_digestbyobj(mdObject) : nullptr;
    if (salt == nullptr || md == nullptr)
        return false;
    // The old MAC data, salt included, goes when the new one is set.
    std::vector<unsigned char> saltCopy(ASN1_STRING_get0_data(salt),
                                        ASN1_STRING_get0_data(salt) + ASN1_STRING_length(salt));
    const long nIter = iter != nullptr ? ASN1_INTEGER_get(iter) : 1;
    if (nIter <= 0 || nIter > INT32_MAX)
        return false;
    return PKCS12_set_mac(p12, macPass, macPass != nullptr ? -1 : 0, saltCopy.data(),
                          static_cast<int>(saltCopy.size()), static_cast<int>(nIter), md) == 1;
}

}  // namespace

PKCS12* SM_d2i_PKCS12(PKCS12** a, const unsigned char** pp, long length)
{
    if (pp == nullptr || *pp == nullptr || length <= 0) {
        ERR_raise(ERR_LIB_PKCS12, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    const unsigned char* p = *pp;
    TypeSeqPtr pfx(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, length));
    if (!pfx)
        return nullptr;
    PKCS12* p12 = Pkcs12FromSequence(pfx.get(), *pp, p - *pp);
    if (p12 == nullptr)
        return nullptr;
    if (a != nullptr) {
        PKCS12_free(*a);
        *a = p12;
    }
    *pp = p;
    return p12;
}

PKCS12* SM_d2i_PKCS12_fp(FILE* fp, PKCS12** a)
{
    if (fp == nullptr) {
        ERR_raise(ERR_LIB_PKCS12, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    // One structure from the stream, read as the library reads a PKCS#12 file.
    TypeSeqPtr pfx(static_cast<STACK_OF(ASN1_TYPE)*>(ASN1_item_d2i_fp(ASN1_ITEM_rptr(ASN1_SEQUENCE_ANY), fp, nullptr)));
    if (!pfx)
        return nullptr;
    PKCS12* p12 = Pkcs12FromSequence(pfx.get(), nullptr, 0);
    if (p12 != nullptr && a != nullptr) {
        PKCS12_free(*a);
        *a = p12;
    }
    return p12;
}

namespace {

// The normalised safes and whether any of them was SM.
STACK_OF(PKCS7)* UnpackAuthsafes(const PKCS12* p12, bool* bAnySm)
{
    smdetail::RegisterObjects();
    Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12));
    *bAnySm = false;
    for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
        int smTypes = 0;
        if (!Normalise(sk_PKCS7_value(safes.get(), i), &smTypes))
            return nullptr;
        *bAnySm = *bAnySm || smTypes != 0;
    }
    return safes.release();
}

}  // namespace

STACK_OF(PKCS7)* SM_PKCS12_unpack_authsafes(const PKCS12* p12)
{
    bool bAnySm = false;
    return UnpackAuthsafes(p12, &bAnySm);
}

int SM_PKCS12_parse(PKCS12* p12, const char* pass, EVP_PKEY** pkey, X509** cert, STACK_OF(X509)** ca)
{
    if (p12 == nullptr)
        return PKCS12_parse(p12, pass, pkey, cert, ca);
    bool bAnySm = false;
    Pkcs7StackPtr safes;
    {
        // Unpacking is tried only to find SM safes; the library's parser reports its own failures.
        ERR_set_mark();
        safes.reset(UnpackAuthsafes(p12, &bAnySm));
        ERR_pop_to_mark();
    }
    if (!safes || !bAnySm)
        return PKCS12_parse(p12, pass, pkey, cert, ca);

    const char* macPass = nullptr;
    if (!MacPassword(p12, pass, &macPass)) {
        ERR_raise(ERR_LIB_PKCS12, PKCS12_R_MAC_VERIFY_FAILURE);
        return 0;
    }
    // The contents are authentic; the library's parser gets them with the stock types.
    if (!PKCS12_pack_authsafes(p12, safes.get()) || (PKCS12_mac_present(p12) && !ResetMac(p12, macPass))) {
        ERR_raise(ERR_LIB_PKCS12, PKCS12_R_MAC_SETUP_ERROR);
        return 0;
    }
    return PKCS12_parse(p12, pass, pkey, cert, ca);
}

// PKCS#7 and PKCS#12 DER with the content types replaced, to make SM-typed structures out of stock
// ones. Only the crypto library's generic TLV reader and writer are used, so it is independent of
// the SM normaliser under test. Definite lengths only; header-only (its tests link the library).
#ifndef VARNELL_TESTS_CONTENT_TYPE_REWRITE_H
#define VARNELL_TESTS_CONTENT_TYPE_REWRITE_H

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <vector>

namespace typerewrite {

using Bytes = std::vector<unsigned char>;

constexpr char kSmDataOid[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kSmSignedDataOid[] = "1.2.156.10197.6.1.4.2.2";
constexpr char kSignedDataOid[] = "1.2.840.113549.1.7.2";

struct Tlv
{
    int tag = 0;
    int cls = V_ASN1_UNIVERSAL;
    bool constructed = false;
    Bytes value;
};

// The TLVs one after another in der; false on anything but definite lengths.
inline bool Split(const Bytes& der, std::vector<Tlv>* out)
{
    out->clear();
    const unsigned char* p = der.data();
    const unsigned char* const end = p + der.size();
    while (p < end) {
        long len = 0;
        Tlv t;
        const int flags = ASN1_get_object(&p, &len, &t.tag, &t.cls, end - p);
        if (flags & 0x81)
            return false;
        t.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
        t.value.assign(p, p + len);
        out->push_back(t);
        p += len;
    }
    return true;
}

inline Bytes Encode(const Tlv& t)
{
    const int len = static_cast<int>(t.value.size());
    Bytes out(static_cast<size_t>(ASN1_object_size(t.constructed, len, t.tag)));
    unsigned char* p = out.data();
    ASN1_put_object(&p, t.constructed, len, t.tag, t.cls);
    std::copy(t.value.begin(), t.value.end(), p);
    return out;
}

inline Bytes Join(const std::vector<Tlv>& tlvs)
{
    Bytes out;
    for (const Tlv& t : tlvs) {
        const Bytes one = Encode(t);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

inline Tlv Oid(const char* dotted)
{
    Tlv t;
    t.tag = V_ASN1_OBJECT;
    ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
    t.value.assign(OBJ_get0_data(obj), OBJ_get0_data(obj) + OBJ_length(obj));
    ASN1_OBJECT_free(obj);
    return t;
}

// A ContentInfo { type, [0] content }: outerOid replaces its type, innerOid (signedData) the type
// of its encapsulated content; null keeps a type.
inline bool SetTypes(Tlv* contentInfo, const char* outerOid, const char* innerOid)
{
    std::vector<Tlv> fields, wrapped, signedData, encap;
    if (!Split(contentInfo->value, &fields) || fields.empty())
        return false;
    if (outerOid != nullptr)
        fields[0] = Oid(outerOid);
    if (innerOid != nullptr) {
        if (fields.size() != 2 || !Split(fields[1].value, &wrapped) || wrapped.size() != 1 ||
            !Split(wrapped[0].value, &signedData) || signedData.size() < 4 || !Split(signedData[2].value, &encap) ||
            encap.empty())
            return false;
        encap[0] = Oid(innerOid);
        signedData[2].value = Join(encap);
        wrapped[0].value = Join(signedData);
        fields[1].value = Join(wrapped);
    }
    contentInfo->value = Join(fields);
    return true;
}

// ContentInfo DER with its types replaced; empty when it is not of that shape.
inline Bytes WithTypes(const Bytes& contentInfo, const char* outerOid, const char* innerOid)
{
    std::vector<Tlv> top;
    if (!Split(contentInfo, &top) || top.size() != 1 || !SetTypes(&top[0], outerOid, innerOid))
        return {};
    return Encode(top[0]);
}

// PKCS#12 DER with its authenticated safe's type replaced; the safe's octets (what the MAC covers)
// stay as they are.
inline Bytes WithAuthSafeType(const Bytes& pfx, const char* oid)
{
    std::vector<Tlv> top, fields;
    if (!Split(pfx, &top) || top.size() != 1 || !Split(top[0].value, &fields) || fields.size() < 2 ||
        !SetTypes(&fields[1], oid, nullptr))
        return {};
    top[0].value = Join(fields);
    return Encode(top[0]);
}

}  // namespace typerewrite

#endif

// Helpers shared by the SM2 tests: numbers from hex, error-queue inspection, and conversion between
// our raw ciphertext (04 || x1 || y1 || C2 || C3) and the DER SM2Cipher OpenSSL writes.
#ifndef VARNELL_TESTS_SM2_TEST_SUPPORT_H
#define VARNELL_TESTS_SM2_TEST_SUPPORT_H

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sm2test {

using Bytes = std::vector<unsigned char>;

struct BnDeleter
{
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

inline Bn HexBn(const std::string& hex)
{
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits += c;
    BIGNUM* bn = nullptr;
    BN_hex2bn(&bn, digits.c_str());
    return Bn(bn);
}

inline Bn BytesBn(const Bytes& b)
{
    return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

inline Bytes Bn32(const BIGNUM* bn)
{
    Bytes out(32);
    BN_bn2binpad(bn, out.data(), 32);
    return out;
}

// Every (lib, reason) on the queue, oldest first; the queue is emptied.
inline std::vector<std::pair<int, int>> DrainErrors()
{
    std::vector<std::pair<int, int>> out;
    while (unsigned long e = ERR_get_error())
        out.emplace_back(ERR_GET_LIB(e), ERR_GET_REASON(e));
    return out;
}

// DER SM2Cipher { INTEGER x1, INTEGER y1, OCTET STRING C3, OCTET STRING C2 } -> raw form.
inline bool DerToRaw(const Bytes& der, Bytes* raw)
{
    const unsigned char* p = der.data();
    STACK_OF(ASN1_TYPE)* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    if (seq == nullptr)
        return false;
    bool ok = sk_ASN1_TYPE_num(seq) == 4;
    Bytes x(32), y(32), c3, c2;
    for (int i = 0; ok && i < 4; ++i) {
        ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, i);
        if (i < 2) {
            ok = ASN1_TYPE_get(t) == V_ASN1_INTEGER;
            BIGNUM* bn = ok ? ASN1_INTEGER_to_BN(t->value.integer, nullptr) : nullptr;
            ok = bn != nullptr && BN_num_bytes(bn) <= 32 && BN_bn2binpad(bn, (i == 0 ? x : y).data(), 32) == 32;
            BN_free(bn);
        } else {
            ok = ASN1_TYPE_get(t) == V_ASN1_OCTET_STRING;
            if (ok) {
                const ASN1_STRING* s = t->value.octet_string;
                Bytes& dst = i == 2 ? c3 : c2;
                dst.assign(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
            }
        }
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    if (!ok || c3.size() != 32)
        return false;
    raw->assign({0x04});
    raw->insert(raw->end(), x.begin(), x.end());
    raw->insert(raw->end(), y.begin(), y.end());
    raw->insert(raw->end(), c2.begin(), c2.end());
    raw->insert(raw->end(), c3.begin(), c3.end());
    return true;
}

// Raw form -> DER SM2Cipher.
inline bool RawToDer(const Bytes& raw, Bytes* der)
{
    if (raw.size() < 98 || raw[0] != 0x04)
        return false;
    const size_t c2len = raw.size() - 97;
    STACK_OF(ASN1_TYPE)* seq = sk_ASN1_TYPE_new_null();
    bool ok = seq != nullptr;
    for (int i = 0; ok && i < 2; ++i) {
        BIGNUM* bn = BN_bin2bn(raw.data() + 1 + 32 * i, 32, nullptr);
        ASN1_INTEGER* ai = bn ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
        BN_free(bn);
        ASN1_TYPE* t = ASN1_TYPE_new();
        ok = ai != nullptr && t != nullptr;
        if (ok)
            ASN1_TYPE_set(t, V_ASN1_INTEGER, ai);
        else {
            ASN1_INTEGER_free(ai);
            ASN1_TYPE_free(t);
        }
        ok = ok && sk_ASN1_TYPE_push(seq, t) > 0;
    }
    const unsigned char* parts[2] = {raw.data() + 65 + c2len, raw.data() + 65};
    const size_t lens[2] = {32, c2len};
    for (int i = 0; ok && i < 2; ++i) {
        ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
        ASN1_TYPE* t = ASN1_TYPE_new();
        ok = os != nullptr && t != nullptr && ASN1_OCTET_STRING_set(os, parts[i], static_cast<int>(lens[i]));
        if (ok)
            ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, os);
        else {
            ASN1_OCTET_STRING_free(os);
            ASN1_TYPE_free(t);
        }
        ok = ok && sk_ASN1_TYPE_push(seq, t) > 0;
    }
    unsigned char* out = nullptr;
    const int len = ok ? i2d_ASN1_SEQUENCE_ANY(seq, &out) : 0;
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    if (len <= 0)
        return false;
    der->assign(out, out + len);
    OPENSSL_free(out);
    return true;
}

}  // namespace sm2test

#endif

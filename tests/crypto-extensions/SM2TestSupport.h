// Helpers shared by the SM2 tests: numbers from hex, error-queue inspection, and conversion between
// our raw ciphertext (04 || x1 || y1 || C2 || C3) and the DER SM2Cipher OpenSSL writes.
#ifndef VARNELL_TESTS_SM2_TEST_SUPPORT_H
#define VARNELL_TESTS_SM2_TEST_SUPPORT_H

#include "SM2KeyMethod.h"
#include "TestUtil.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
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

struct PkeyDeleter
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

struct X509Deleter
{
    void operator()(X509* p) const { X509_free(p); }
};
using Cert = std::unique_ptr<X509, X509Deleter>;

inline Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// A PEM private key, public key or certificate file as the library reads it (provider keys).
inline Pkey ReadPrivateKey(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "r");
    Pkey key(f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr);
    if (f != nullptr)
        fclose(f);
    return key;
}

inline Cert ReadCert(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "r");
    Cert cert(f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr);
    if (f != nullptr)
        fclose(f);
    return cert;
}

// An SM2 key made by the openssl command line, loaded as the provider key it is.
struct CliKey
{
    std::string keyPem, pubPem;
    Pkey pkey;
    Bn d, x, y;
};

inline bool MakeCliKey(const testutil::ScopedTempDir& dir, CliKey* key, const std::string& name = "key")
{
    using testutil::RunCommand;
    using testutil::ShellQuote;
    key->keyPem = dir.File(name + ".pem");
    key->pubPem = dir.File(name + "-pub.pem");
    if (RunCommand("openssl genpkey -algorithm SM2 -out " + ShellQuote(key->keyPem) + " 2>&1") != 0 ||
        RunCommand("openssl pkey -in " + ShellQuote(key->keyPem) + " -pubout -out " + ShellQuote(key->pubPem) +
                   " 2>&1") != 0)
        return false;
    key->pkey = ReadPrivateKey(key->keyPem);
    BIGNUM *d = nullptr, *x = nullptr, *y = nullptr;
    const bool ok = key->pkey && EVP_PKEY_is_a(key->pkey.get(), "SM2") &&
                    EVP_PKEY_get_bn_param(key->pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) &&
                    EVP_PKEY_get_bn_param(key->pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x) &&
                    EVP_PKEY_get_bn_param(key->pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    key->d.reset(d);
    key->x.reset(x);
    key->y.reset(y);
    return ok;
}

// The public coordinates of a legacy or provider key (the library's parameter getters cover only
// provider keys).
inline bool PublicXY(EVP_PKEY* pkey, Bn* x, Bn* y)
{
    const EC_KEY* ec = SM_EVP_PKEY_get0_EC_KEY(pkey);
    x->reset(BN_new());
    y->reset(BN_new());
    return ec != nullptr && *x && *y &&
           EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), x->get(), y->get(),
                                           nullptr) == 1;
}

// A new SM2 key as a legacy EC key (EC_KEY_generate_key; EVP key generation is not ours).
inline Pkey NewLegacyKey()
{
    EC_KEY* ec = EC_KEY_new_by_curve_name(NID_sm2);
    Pkey pkey(EVP_PKEY_new());
    if (ec == nullptr || !pkey || !EC_KEY_generate_key(ec) || !EVP_PKEY_assign_EC_KEY(pkey.get(), ec)) {
        EC_KEY_free(ec);
        return nullptr;
    }
    return pkey;
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

// Fixture file of the test module, one object or rule per line:
//   token LABEL PIN [serial=TEXT] [flags=F|F...] [tries=FILE] [maxtries=N]
//                                    a slot with a token (slots are numbered 1.. in file order); its
//                                    serial number defaults to the slot number, and the flags (names
//                                    such as CKF_USER_PIN_FINAL_TRY, or numbers) are added to those
//                                    C_GetTokenInfo always reports. With tries=, the PIN tries left
//                                    (of N, default 3) are kept in FILE for all processes: COUNT_LOW
//                                    below N, FINAL_TRY at 1, LOCKED at 0 (logins then refused)
//   emptyslot                        a slot without a token
//   cert ID|- LABEL DERFILE [type=N] certificate (`-`: no CKA_ID; type: CKA_CERTIFICATE_TYPE)
//   rsakey ID LABEL PEMFILE          RSA private key (CKA_PRIVATE, sensitive) and its public key
//   sm2key ID LABEL PEMFILE [keytype=N]  SM2 key pair; CKA_KEY_TYPE defaults to CKK_EC
//   object ID CLASS                  an object of any class (vendor classes above 3)
//   data APP OID|- VALUEFILE|-       data object: CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE (`-`: empty)
//   hide ID ATTR [RV]                reading ATTR of the objects with this ID answers RV (0x12)
//   badlen ID ATTR SIZE READ         ATTR reports SIZE to the size query and READ to the read
//   fail C_Func RV [slot=N] [after=K] [times=N]
//   delay C_Func MS                  every call of C_Func takes MS milliseconds more (a slow token)
//   sigderlen N                      SM2 signatures of N bytes (a token that answers a wrong length)
//   sizequery N                      every size query of a sign, digest or decrypt answers N
//   delay MS                         every call waits MS milliseconds first
// IDs, labels and PINs are text or "hex:..."; objects belong to the last token line; relative
// file names are taken from the fixture file's directory. '#' starts a comment line.
#include "TestP11State.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace testp11 {

namespace {

struct AttributeName
{
    const char* name;
    CK_ATTRIBUTE_TYPE type;
};

const AttributeName kAttributeNames[] = {
    {"CKA_CLASS", CKA_CLASS}, {"CKA_TOKEN", CKA_TOKEN}, {"CKA_PRIVATE", CKA_PRIVATE}, {"CKA_LABEL", CKA_LABEL},
    {"CKA_APPLICATION", CKA_APPLICATION}, {"CKA_VALUE", CKA_VALUE}, {"CKA_OBJECT_ID", CKA_OBJECT_ID},
    {"CKA_CERTIFICATE_TYPE", CKA_CERTIFICATE_TYPE}, {"CKA_ISSUER", CKA_ISSUER},
    {"CKA_SERIAL_NUMBER", CKA_SERIAL_NUMBER}, {"CKA_TRUSTED", CKA_TRUSTED}, {"CKA_KEY_TYPE", CKA_KEY_TYPE},
    {"CKA_SUBJECT", CKA_SUBJECT}, {"CKA_ID", CKA_ID}, {"CKA_SENSITIVE", CKA_SENSITIVE},
    {"CKA_ENCRYPT", CKA_ENCRYPT}, {"CKA_DECRYPT", CKA_DECRYPT}, {"CKA_SIGN", CKA_SIGN},
    {"CKA_VERIFY", CKA_VERIFY}, {"CKA_MODULUS", CKA_MODULUS}, {"CKA_MODULUS_BITS", CKA_MODULUS_BITS},
    {"CKA_PUBLIC_EXPONENT", CKA_PUBLIC_EXPONENT}, {"CKA_PRIVATE_EXPONENT", CKA_PRIVATE_EXPONENT},
    {"CKA_PRIME_1", CKA_PRIME_1}, {"CKA_PRIME_2", CKA_PRIME_2}, {"CKA_EXPONENT_1", CKA_EXPONENT_1},
    {"CKA_EXPONENT_2", CKA_EXPONENT_2}, {"CKA_COEFFICIENT", CKA_COEFFICIENT}, {"CKA_EC_POINT", CKA_EC_POINT},
    {"CKA_SECONDARY_AUTH", CKA_SECONDARY_AUTH}, {"CKA_AUTH_PIN_FLAGS", CKA_AUTH_PIN_FLAGS},
    {"CKA_MODIFIABLE", CKA_MODIFIABLE}};

Bytes UlongBytes(CK_ULONG value)
{
    Bytes bytes(sizeof(value));
    std::copy_n(reinterpret_cast<const unsigned char*>(&value), sizeof(value), bytes.begin());
    return bytes;
}

Bytes BoolBytes(bool value)
{
    return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)};
}

Bytes TextBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

bool ReadWholeFile(const std::string& path, Bytes* content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

Bytes BigNumBytes(const EVP_PKEY* key, const char* param)
{
    BIGNUM* bn = nullptr;
    if (1 != EVP_PKEY_get_bn_param(key, param, &bn))
        return Bytes();
    Bytes bytes(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, bytes.data());
    BN_free(bn);
    return bytes;
}

class Parser
{
public:
    Parser(const std::string& path, Config* config) : m_config(config)
    {
        const size_t slash = path.rfind('/');
        m_dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }

    bool Line(const std::vector<std::string>& words, std::string* error)
    {
        const std::string& kind = words[0];
        if (kind == "token")
            return Token(words, error);
        if (kind == "emptyslot")
            return EmptySlot(words, error);
        if (kind == "fail")
            return Fail(words, error);
        if (kind == "delay")
            return Delay(words, error);
        if (kind == "sigderlen")
            return Number(words, &m_config->sigDerLength, error);
        if (kind == "sizequery")
            return Number(words, &m_config->sizeQuery, error);
        if (kind == "cert" || kind == "rsakey" || kind == "sm2key" || kind == "object" || kind == "data" ||
            kind == "hide" || kind == "badlen") {
            if (m_config->slots.empty() || !m_config->slots.back().hasToken)
                return Error(error, kind + " before any token line");
            Slot& slot = m_config->slots.back();
            if (kind == "cert")
                return Cert(words, slot, error);
            if (kind == "rsakey" || kind == "sm2key")
                return Key(words, slot, error);
            if (kind == "object")
                return GenericObject(words, slot, error);
            if (kind == "data")
                return Data(words, slot, error);
            return Override(words, slot, error);
        }
        return Error(error, "unknown line kind " + kind);
    }

private:
    static bool Error(std::string* error, const std::string& text)
    {
        *error = text;
        return false;
    }

    std::string File(const std::string& name) const { return name[0] == '/' ? name : m_dir + "/" + name; }

    Slot& NewSlot(bool hasToken)
    {
        Slot slot;
        slot.id = m_config->slots.size() + 1;
        slot.hasToken = hasToken;
        m_config->slots.push_back(slot);
        return m_config->slots.back();
    }

    Object& NewObject(Slot& slot, CK_OBJECT_CLASS cls, const std::string& id, const std::string& label)
    {
        Object object;
        object.attributes[CKA_CLASS] = UlongBytes(cls);
        object.attributes[CKA_TOKEN] = BoolBytes(true);
        object.attributes[CKA_PRIVATE] = BoolBytes(false);
        object.attributes[CKA_MODIFIABLE] = BoolBytes(true);
        object.attributes[CKA_LABEL] = TextBytes(label);
        if (id != "-") {
            Bytes idBytes;
            ParseHexOrText(id, &idBytes);
            object.attributes[CKA_ID] = idBytes;
        }
        slot.objects.push_back(object);
        return slot.objects.back();
    }

    bool Token(const std::vector<std::string>& words, std::string* error)
    {
        if (words.size() < 3)
            return Error(error, "token LABEL PIN [serial=TEXT] [flags=F|F...] [tries=FILE] [maxtries=N]");
        Slot& slot = NewSlot(true);
        Bytes label;
        if (!ParseHexOrText(words[1], &label) || !ParseHexOrText(words[2], &slot.pin))
            return Error(error, "bad token label or PIN");
        slot.label.assign(label.begin(), label.end());
        slot.serial = std::to_string(slot.id);
        for (size_t i = 3; i < words.size(); ++i) {
            if (words[i].compare(0, 7, "serial=") == 0) {
                slot.serial = words[i].substr(7);
            } else if (words[i].compare(0, 6, "tries=") == 0) {
                slot.triesFile = File(words[i].substr(6));
            } else if (words[i].compare(0, 9, "maxtries=") == 0) {
                if (!ParseUlong(words[i].substr(9), &slot.maxTries) || slot.maxTries == 0)
                    return Error(error, "bad token option " + words[i]);
            } else if (words[i].compare(0, 6, "flags=") != 0 || !ParseTokenFlags(words[i].substr(6), &slot.flags)) {
                return Error(error, "bad token option " + words[i]);
            }
        }
        return true;
    }

    // "CKF_USER_PIN_COUNT_LOW|CKF_USER_PIN_FINAL_TRY" or numbers, joined by '|'.
    static bool ParseTokenFlags(const std::string& text, CK_FLAGS* flags)
    {
        static const std::pair<const char*, CK_FLAGS> kNames[] = {
            {"CKF_USER_PIN_COUNT_LOW", CKF_USER_PIN_COUNT_LOW}, {"CKF_USER_PIN_FINAL_TRY", CKF_USER_PIN_FINAL_TRY},
            {"CKF_USER_PIN_LOCKED", CKF_USER_PIN_LOCKED}, {"CKF_USER_PIN_TO_BE_CHANGED", CKF_USER_PIN_TO_BE_CHANGED}};
        std::istringstream in(text);
        for (std::string name; std::getline(in, name, '|');) {
            CK_ULONG value = 0;
            const auto it = std::find_if(std::begin(kNames), std::end(kNames),
                                         [&](const std::pair<const char*, CK_FLAGS>& n) { return name == n.first; });
            if (it != std::end(kNames))
                value = it->second;
            else if (!ParseUlong(name, &value))
                return false;
            *flags |= value;
        }
        return true;
    }

    bool EmptySlot(const std::vector<std::string>& words, std::string* error)
    {
        if (words.size() != 1)
            return Error(error, "emptyslot takes no argument");
        NewSlot(false);
        return true;
    }

    bool Cert(const std::vector<std::string>& words, Slot& slot, std::string* error)
    {
        if (words.size() < 4)
            return Error(error, "cert ID|- LABEL DERFILE [type=N]");
        Bytes der;
        if (!ReadWholeFile(File(words[3]), &der))
            return Error(error, "cannot read " + words[3]);
        CK_ULONG certType = CKC_X_509;
        for (size_t i = 4; i < words.size(); ++i) {
            if (words[i].compare(0, 5, "type=") != 0 || !ParseUlong(words[i].substr(5), &certType))
                return Error(error, "bad cert option " + words[i]);
        }
        Object& object = NewObject(slot, CKO_CERTIFICATE, words[1], words[2]);
        object.attributes[CKA_CERTIFICATE_TYPE] = UlongBytes(certType);
        object.attributes[CKA_TRUSTED] = BoolBytes(false);
        const unsigned char* p = der.data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        if (cert != nullptr) {
            unsigned char* out = nullptr;
            int len = i2d_X509_NAME(X509_get_subject_name(cert), &out);
            object.attributes[CKA_SUBJECT] = Bytes(out, out + (len > 0 ? len : 0));
            OPENSSL_free(out);
            out = nullptr;
            len = i2d_X509_NAME(X509_get_issuer_name(cert), &out);
            object.attributes[CKA_ISSUER] = Bytes(out, out + (len > 0 ? len : 0));
            OPENSSL_free(out);
            out = nullptr;
            len = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &out);
            object.attributes[CKA_SERIAL_NUMBER] = Bytes(out, out + (len > 0 ? len : 0));
            OPENSSL_free(out);
            X509_free(cert);
        }
        object.attributes[CKA_VALUE] = der;
        return true;
    }

    bool Key(const std::vector<std::string>& words, Slot& slot, std::string* error)
    {
        const bool rsa = words[0] == "rsakey";
        if (words.size() < 4)
            return Error(error, words[0] + " ID LABEL PEMFILE");
        BIO* bio = BIO_new_file(File(words[3]).c_str(), "r");
        EVP_PKEY* raw = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
        if (raw == nullptr)
            return Error(error, "cannot read key " + words[3]);
        EvpPkeyPtr key(raw, EvpPkeyFree());
        CK_ULONG keyType = rsa ? CKK_RSA : CKK_EC;
        for (size_t i = 4; i < words.size(); ++i) {
            if (rsa || words[i].compare(0, 8, "keytype=") != 0 || !ParseUlong(words[i].substr(8), &keyType))
                return Error(error, "bad key option " + words[i]);
        }
        if (rsa != (EVP_PKEY_get_base_id(raw) == EVP_PKEY_RSA))
            return Error(error, "wrong key kind in " + words[3]);

        Object& priv = NewObject(slot, CKO_PRIVATE_KEY, words[1], words[2]);
        priv.attributes[CKA_PRIVATE] = BoolBytes(true);
        priv.attributes[CKA_KEY_TYPE] = UlongBytes(keyType);
        priv.attributes[CKA_SENSITIVE] = BoolBytes(true);
        priv.attributes[CKA_SIGN] = BoolBytes(true);
        priv.attributes[CKA_DECRYPT] = BoolBytes(true);
        priv.key = key;
        Object& pub = NewObject(slot, CKO_PUBLIC_KEY, words[1], words[2]);
        pub.attributes[CKA_KEY_TYPE] = UlongBytes(keyType);
        pub.attributes[CKA_VERIFY] = BoolBytes(true);
        pub.attributes[CKA_ENCRYPT] = BoolBytes(true);
        pub.key = key;
        if (rsa) {
            Object& rsaPriv = slot.objects[slot.objects.size() - 2];
            for (Object* object : {&rsaPriv, &pub}) {
                object->attributes[CKA_MODULUS] = BigNumBytes(raw, OSSL_PKEY_PARAM_RSA_N);
                object->attributes[CKA_PUBLIC_EXPONENT] = BigNumBytes(raw, OSSL_PKEY_PARAM_RSA_E);
            }
            pub.attributes[CKA_MODULUS_BITS] = UlongBytes(static_cast<CK_ULONG>(EVP_PKEY_get_bits(raw)));
            // Present, but a sensitive key answers CKR_ATTRIBUTE_SENSITIVE for them.
            const std::pair<CK_ATTRIBUTE_TYPE, const char*> kSecretParts[] = {
                {CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D}, {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
                {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2}, {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
                {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2},
                {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
            for (const auto& part : kSecretParts)
                rsaPriv.attributes[part.first] = BigNumBytes(raw, part.second);
        }
        return true;
    }

    bool Data(const std::vector<std::string>& words, Slot& slot, std::string* error)
    {
        if (words.size() != 4)
            return Error(error, "data APP OID|- VALUEFILE|-");
        Object object;
        object.attributes[CKA_CLASS] = UlongBytes(CKO_DATA);
        object.attributes[CKA_TOKEN] = BoolBytes(true);
        object.attributes[CKA_PRIVATE] = BoolBytes(false);
        object.attributes[CKA_MODIFIABLE] = BoolBytes(true);
        object.attributes[CKA_LABEL] = TextBytes("data");
        Bytes application, oid, value;
        if (!ParseHexOrText(words[1], &application) || (words[2] != "-" && !ParseHexOrText(words[2], &oid)))
            return Error(error, "data: bad application or object identifier");
        if (words[3] != "-" && !ReadWholeFile(File(words[3]), &value))
            return Error(error, "cannot read " + words[3]);
        object.attributes[CKA_APPLICATION] = application;
        object.attributes[CKA_OBJECT_ID] = oid;
        object.attributes[CKA_VALUE] = value;
        slot.objects.push_back(object);
        return true;
    }

    bool GenericObject(const std::vector<std::string>& words, Slot& slot, std::string* error)
    {
        CK_ULONG cls = 0;
        if (words.size() != 3 || !ParseUlong(words[2], &cls))
            return Error(error, "object ID CLASS");
        NewObject(slot, cls, words[1], "object");
        return true;
    }

    // hide ID ATTR [RV] / badlen ID ATTR SIZE READ: applies to every object of the token with the ID.
    bool Override(const std::vector<std::string>& words, Slot& slot, std::string* error)
    {
        const bool hide = words[0] == "hide";
        CK_ATTRIBUTE_TYPE type = 0;
        if (words.size() < 3 || !ParseAttributeType(words[2], &type))
            return Error(error, words[0] + ": bad attribute");
        AttributeOverride override;
        if (hide) {
            override.rv = CKR_ATTRIBUTE_TYPE_INVALID;
            if (words.size() > 4 || (words.size() == 4 && !ParseUlong(words[3], &override.rv)))
                return Error(error, "hide ID ATTR [RV]");
        } else {
            override.lies = true;
            if (words.size() != 5 || !ParseUlong(words[3], &override.sizeLength) ||
                !ParseUlong(words[4], &override.readLength))
                return Error(error, "badlen ID ATTR SIZE READ");
        }
        Bytes id;
        ParseHexOrText(words[1], &id);
        bool found = false;
        for (Object& object : slot.objects) {
            auto it = object.attributes.find(CKA_ID);
            if (it != object.attributes.end() && it->second == id) {
                object.overrides[type] = override;
                found = true;
            }
        }
        return found || Error(error, words[0] + ": no object with ID " + words[1]);
    }

    bool Number(const std::vector<std::string>& words, CK_ULONG* value, std::string* error)
    {
        if (words.size() != 2 || !ParseUlong(words[1], value) || *value == 0)
            return Error(error, words[0] + " N (N > 0)");
        return true;
    }

    // `delay MS` slows every call, `delay C_Func MS` one function's.
    bool Delay(const std::vector<std::string>& words, std::string* error)
    {
        if (words.size() == 2 && ParseUlong(words[1], &m_config->delayMs))
            return true;
        CK_ULONG ms = 0;
        if (words.size() != 3 || !ParseUlong(words[2], &ms))
            return Error(error, "delay MS or delay C_Func MS");
        m_config->delays[words[1]] = ms;
        return true;
    }

    bool Fail(const std::vector<std::string>& words, std::string* error)
    {
        if (words.size() < 3)
            return Error(error, "fail C_Func RV [slot=N] [after=K] [times=N]");
        FailRule rule;
        rule.function = words[1];
        if (!ParseUlong(words[2], &rule.rv))
            return Error(error, "fail: bad RV " + words[2]);
        for (size_t i = 3; i < words.size(); ++i) {
            const size_t eq = words[i].find('=');
            const std::string key = words[i].substr(0, eq);
            CK_ULONG value = 0;
            if (eq == std::string::npos || !ParseUlong(words[i].substr(eq + 1), &value))
                return Error(error, "fail: bad option " + words[i]);
            if (key == "slot") {
                rule.anySlot = false;
                rule.slot = value;
            } else if (key == "after") {
                rule.after = value;
            } else if (key == "times") {
                rule.times = value;
            } else {
                return Error(error, "fail: unknown option " + key);
            }
        }
        m_config->failRules.push_back(rule);
        return true;
    }

    Config* m_config;
    std::string m_dir;
};

}  // namespace

bool Object::IsPrivate() const
{
    auto it = attributes.find(CKA_PRIVATE);
    return it != attributes.end() && !it->second.empty() && it->second[0] == CK_TRUE;
}

CK_ULONG Object::Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG fallback) const
{
    auto it = attributes.find(type);
    if (it == attributes.end() || it->second.size() != sizeof(CK_ULONG))
        return fallback;
    CK_ULONG value = 0;
    std::copy_n(it->second.begin(), sizeof(value), reinterpret_cast<unsigned char*>(&value));
    return value;
}

bool ParseUlong(const std::string& text, CK_ULONG* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const unsigned long parsed = strtoul(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0')
        return false;
    *value = parsed;
    return true;
}

bool ParseAttributeType(const std::string& text, CK_ATTRIBUTE_TYPE* type)
{
    for (const AttributeName& entry : kAttributeNames) {
        if (text == entry.name) {
            *type = entry.type;
            return true;
        }
    }
    return ParseUlong(text, type);
}

bool ParseHexOrText(const std::string& text, Bytes* bytes)
{
    bytes->clear();
    if (text.compare(0, 4, "hex:") != 0) {
        bytes->assign(text.begin(), text.end());
        return true;
    }
    const std::string hex = text.substr(4);
    if (hex.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        CK_ULONG byte = 0;
        if (!ParseUlong("0x" + hex.substr(i, 2), &byte))
            return false;
        bytes->push_back(static_cast<unsigned char>(byte));
    }
    return true;
}

std::string Hex(const unsigned char* data, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

bool LoadConfig(const std::string& path, Config* config, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot open fixture file " + path;
        return false;
    }
    Parser parser(path, config);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string word; words >> word;)
            parts.push_back(word);
        if (parts.empty() || parts[0][0] == '#')
            continue;
        if (!parser.Line(parts, error)) {
            *error = path + ":" + std::to_string(number) + ": " + *error;
            return false;
        }
    }
    return true;
}

}  // namespace testp11

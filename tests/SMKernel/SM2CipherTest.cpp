// SM2Cipher: the raw ciphertext to DER and back. The DER is checked against OpenSSL's own reader,
// and the standard's encryption example must survive the round trip and still decrypt.
#include "SM2Cipher.h"
#include "SM2SM4Data.h"
#include "SM2TestSupport.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sm2test::Bytes;
using testutil::HexToBytes;

// The standard's encryption example on its example curve (fixed k).
const char kExampleD[] = "1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0";
const Bytes kExampleX1 = HexToBytes("245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7");
const Bytes kExampleY1 = HexToBytes("76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8");
const Bytes kExampleC2 = HexToBytes("650053A89B41C418B0C3AAD00D886C00286467");
const Bytes kExampleC3 = HexToBytes("9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D");

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A DER TLV (values of up to 65535 octets).
Bytes Tlv(unsigned char tag, const Bytes& value)
{
    Bytes out{tag};
    if (value.size() < 0x80) {
        out.push_back(static_cast<unsigned char>(value.size()));
    } else if (value.size() < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<unsigned char>(value.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<unsigned char>(value.size() >> 8));
        out.push_back(static_cast<unsigned char>(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Encode(Bytes raw, unsigned int* code)
{
    unsigned char* der = nullptr;
    int derLength = 0;
    *code = Encode_SM2Cipher(raw.data(), static_cast<int>(raw.size()), &der, &derLength);
    Bytes out(der, der + (der != nullptr ? derLength : 0));
    delete[] der;
    return out;
}

Bytes Decode(Bytes der, unsigned int* code)
{
    unsigned char* raw = nullptr;
    int rawLength = 0;
    *code = Decode_SM2Cipher(der.data(), static_cast<int>(der.size()), &raw, &rawLength);
    Bytes out(raw, raw + (raw != nullptr ? rawLength : 0));
    delete[] raw;
    return out;
}

TEST(SM2CipherTest, StandardExampleSurvivesDerAndDecryptsInTheCheckValueFirstForm)
{
    ASSERT_EQ(1, SM_crypto_init());
    const Bytes raw = Concat({kExampleX1, kExampleY1, kExampleC2, kExampleC3});
    unsigned int code = 0;
    const Bytes der = Encode(raw, &code);
    ASSERT_EQ(QOVA_OK, code);

    // OpenSSL reads the same four fields out of our DER.
    Bytes viaOpenSsl;
    ASSERT_TRUE(sm2test::DerToRaw(der, &viaOpenSsl));
    EXPECT_EQ(Concat({{0x04}, raw}), viaOpenSsl);

    EXPECT_EQ(raw, Decode(der, &code));
    EXPECT_EQ(QOVA_OK, code);

    Bytes v2 = Concat({{0x04}, kExampleX1, kExampleY1, kExampleC3, kExampleC2});
    sm2test::Bn d = sm2test::HexBn(kExampleD);
    std::string message(kExampleC2.size(), '\0');
    ASSERT_EQ(1, _SM2_decrypt_v2(kNidSm2TestCurve, v2.data(), static_cast<unsigned int>(v2.size()), d.get(),
                                 reinterpret_cast<unsigned char*>(&message[0])));
    EXPECT_EQ("encryption standard", message);
}

TEST(SM2CipherTest, CoordinatesAreMinimalDerIntegers)
{
    const Bytes hash(32, 0x33);
    const Bytes zeroLed = Concat({{0x00, 0x7F}, Bytes(30, 0x11)});
    const Bytes highBit = Concat({{0x80}, Bytes(31, 0x00)});
    struct Case
    {
        const char* name;
        Bytes x, y, c2;
        Bytes xTlv, yTlv;
    };
    const Case kCases[] = {
        {"one octet of C2", Bytes(32, 0x22), Bytes(32, 0x44), {0x5A}, Tlv(0x02, Bytes(32, 0x22)),
         Tlv(0x02, Bytes(32, 0x44))},
        {"x1 = 80 00 .. 00 gets a sign octet", highBit, Bytes(32, 0x01), Bytes(16, 0x5A),
         Tlv(0x02, Concat({{0x00}, highBit})), Tlv(0x02, Bytes(32, 0x01))},
        // 32 octets beginning with 00 7F would not be DER: OpenSSL refuses such a ciphertext.
        {"leading zero octets are dropped", zeroLed, zeroLed, Bytes(200, 0x5A),
         Tlv(0x02, Bytes(zeroLed.begin() + 1, zeroLed.end())), Tlv(0x02, Bytes(zeroLed.begin() + 1, zeroLed.end()))},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes raw = Concat({c.x, c.y, c.c2, hash});
        unsigned int code = 0;
        const Bytes der = Encode(raw, &code);
        ASSERT_EQ(QOVA_OK, code);
        EXPECT_EQ(Tlv(0x30, Concat({c.xTlv, c.yTlv, Tlv(0x04, hash), Tlv(0x04, c.c2)})), der);
        EXPECT_EQ(raw, Decode(der, &code));
        EXPECT_EQ(QOVA_OK, code);
    }
}

TEST(SM2CipherTest, MinimalCoordinatesFromOtherWritersReadBackLeftPadded)
{
    const Bytes x = Concat({Bytes(1, 0x00), Bytes(31, 0x7E)});
    const Bytes y = Concat({Bytes(30, 0x00), {0x01, 0x02}});
    const Bytes hash(32, 0x33), c2(5, 0x5A);
    // OpenSSL writes minimal INTEGERs: 31 and 2 value octets here.
    Bytes der;
    ASSERT_TRUE(sm2test::RawToDer(Concat({{0x04}, x, y, c2, hash}), &der));
    EXPECT_EQ(Tlv(0x30, Concat({Tlv(0x02, Bytes(31, 0x7E)), Tlv(0x02, {0x01, 0x02}), Tlv(0x04, hash), Tlv(0x04, c2)})),
              der);
    unsigned int code = 0;
    EXPECT_EQ(Concat({x, y, c2, hash}), Decode(der, &code));
    EXPECT_EQ(QOVA_OK, code);
}

TEST(SM2CipherTest, MalformedInputIsRefusedWithoutOutput)
{
    const Bytes x = Tlv(0x02, Bytes(32, 0x11)), hash = Tlv(0x04, Bytes(32, 0x33)), c2 = Tlv(0x04, {0x5A});
    struct Case
    {
        const char* name;
        Bytes der;
        unsigned int code;
    };
    const Case kCases[] = {
        {"not DER", {0x30, 0x05, 0x02}, QOVA_E_FAIL},
        {"three fields", Tlv(0x30, Concat({x, x, hash})), QOVA_E_MALFORMED},
        {"a fifth field", Tlv(0x30, Concat({x, x, hash, c2, c2})), QOVA_E_MALFORMED},
        {"a 34-octet coordinate", Tlv(0x30, Concat({Tlv(0x02, Bytes(34, 0x11)), x, hash, c2})), QOVA_E_MALFORMED},
        {"a 34-octet y", Tlv(0x30, Concat({x, Tlv(0x02, Bytes(34, 0x11)), hash, c2})), QOVA_E_MALFORMED},
        {"an empty INTEGER", Tlv(0x30, Concat({Tlv(0x02, {}), x, hash, c2})), QOVA_E_MALFORMED},
        {"a 31-octet hash", Tlv(0x30, Concat({x, x, Tlv(0x04, Bytes(31, 0x33)), c2})), QOVA_E_MALFORMED},
        {"no C2", Tlv(0x30, Concat({x, x, hash, Tlv(0x04, {})})), QOVA_E_MALFORMED},
        {"a primitive root", Tlv(0x04, Bytes(8, 0x01)), QOVA_E_MALFORMED},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes der = c.der;
        unsigned char* raw = nullptr;
        int rawLength = -7;
        EXPECT_EQ(c.code, Decode_SM2Cipher(der.data(), static_cast<int>(der.size()), &raw, &rawLength));
        EXPECT_EQ(nullptr, raw);
        EXPECT_EQ(-7, rawLength);
    }

    // A raw form needs at least one octet of C2.
    for (size_t size : {size_t(96), size_t(40), size_t(0)}) {
        Bytes raw(size == 0 ? 1 : size, 0x01);
        unsigned char* der = nullptr;
        int derLength = -7;
        EXPECT_EQ(QOVA_E_INVALIDARG, Encode_SM2Cipher(raw.data(), static_cast<int>(size), &der, &derLength));
        EXPECT_EQ(nullptr, der);
        EXPECT_EQ(-7, derLength);
    }
}

TEST(SM2CipherTest, DecodeWithoutOutputOnlyChecks)
{
    Bytes raw = Concat({Bytes(32, 0x11), Bytes(32, 0x22), {0x5A}, Bytes(32, 0x33)});
    unsigned int code = 0;
    Bytes der = Encode(raw, &code);
    ASSERT_EQ(QOVA_OK, code);
    EXPECT_EQ(QOVA_OK, Decode_SM2Cipher(der.data(), static_cast<int>(der.size()), nullptr, nullptr));
}

}  // namespace

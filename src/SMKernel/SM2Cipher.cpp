// SM2Cipher: the raw SM2 ciphertext to DER and back, with the DER tree engine.
#include "SM2Cipher.h"

#include "DerStructureDetail.h"
#include "QovaTrace.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

using namespace der_detail;

constexpr int kCoordinateSize = 32;
constexpr unsigned long long SM3_HASH_SIZE = 32;
// x1, y1 and C3.
constexpr int kRawOverhead = 2 * kCoordinateSize + static_cast<int>(SM3_HASH_SIZE);

// Copies the last min(length, 32) value octets of a coordinate so that they end at dest[31].
unsigned int ReadCoordinate(const NodeEx* node, unsigned char* dest)
{
    const unsigned long long nTake = std::min<unsigned long long>(node->ValueLength, kCoordinateSize);
    return ReadNodeExValue(node, node->ValueLength - nTake, dest + kCoordinateSize - nTake, nTake);
}

}  // namespace

unsigned int ConstructNode_SM2Cipher(unsigned char* x, unsigned char* y, unsigned char* hash,
                                     unsigned char* cipherText, int cipherTextLength, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == x || NULL == y || NULL == hash || NULL == node, QOVA_E_INVALIDARG, "Check Parameters");
    QOVA_FAIL_IF(cipherTextLength < 0 || (NULL == cipherText && 0 != cipherTextLength), QOVA_E_INVALIDARG,
                 "Check Parameters(pbyCipherText)");

    NodeEx* pNode = NULL;
    unsigned int nResult = der_detail::CreateUnsignedIntegerLeaf(x, kCoordinateSize, &pNode);
    NodeExPtr pXCoordinate(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(XCoordinate)");

    pNode = NULL;
    nResult = der_detail::CreateUnsignedIntegerLeaf(y, kCoordinateSize, &pNode);
    NodeExPtr pYCoordinate(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(YCoordinate)");

    pNode = NULL;
    nResult = CreateLeafNodeEx(kTagOctetString, hash, static_cast<int>(SM3_HASH_SIZE), &pNode);
    NodeExPtr pHash(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(HASH)");

    pNode = NULL;
    nResult = CreateLeafNodeEx(kTagOctetString, cipherText, cipherTextLength, &pNode);
    NodeExPtr pCipherText(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(CipherText)");

    pNode = NULL;
    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    NodeExPtr pSM2Cipher(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(SM2Cipher)");

    pSM2Cipher->AddChild(pXCoordinate.release());
    pSM2Cipher->AddChild(pYCoordinate.release());
    pSM2Cipher->AddChild(pHash.release());
    pSM2Cipher->AddChild(pCipherText.release());
    *node = pSM2Cipher.release();
    return QOVA_OK;
}

unsigned int Encode_SM2Cipher(unsigned char* raw, int rawLength, unsigned char** der, int* derLength)
{
    QOVA_FAIL_IF(NULL == raw || NULL == der || NULL == derLength, QOVA_E_INVALIDARG, "Check Parameters");
    const int nC2Size = rawLength > kRawOverhead ? rawLength - kRawOverhead : 0;
    QOVA_FAIL_IF(nC2Size <= 0, QOVA_E_INVALIDARG, "Check C2 byte size.");

    unsigned char* pbyC2 = raw + 2 * kCoordinateSize;
    NodeEx* pNode = NULL;
    unsigned int nResult =
        ConstructNode_SM2Cipher(raw, raw + kCoordinateSize, pbyC2 + nC2Size, pbyC2, nC2Size, &pNode);
    NodeExPtr pSM2Cipher(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_SM2Cipher");

    unsigned char* pbyEncoded = NULL;
    int nEncodedSize = 0;
    int nCurrentDeepLevel = 0;
    nResult = EncodeASN1ToMemory(pSM2Cipher.get(), &pbyEncoded, &nEncodedSize, &nCurrentDeepLevel);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1ToMemory");

    *der = pbyEncoded;
    *derLength = nEncodedSize;
    return QOVA_OK;
}

unsigned int Decode_SM2Cipher(unsigned char* der, int derLength, unsigned char** raw, int* rawLength)
{
    QOVA_FAIL_IF(NULL == der || derLength <= 0, QOVA_E_INVALIDARG, "Check Parameters");

    NodeEx* pNode_SM2Cipher = NULL;
    unsigned int nResult = DecodeASN1MemoryEx(der, static_cast<unsigned long>(derLength), &pNode_SM2Cipher);
    NodeExPtr pSM2Cipher(pNode_SM2Cipher);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pNode_SM2Cipher, QOVA_E_FAIL, "DecodeASN1MemoryEx");

    if (pSM2Cipher->vetNodes.size() != 4) {
        QOVA_TRACE_STEP_FAILED("Invalid SM2Cipher nodes number.", QOVA_E_MALFORMED, "true");
        return QOVA_E_MALFORMED;
    }
    const NodeEx* pXCoordinate = pSM2Cipher->vetNodes[0];
    const NodeEx* pYCoordinate = pSM2Cipher->vetNodes[1];
    const NodeEx* pHash = pSM2Cipher->vetNodes[2];
    const NodeEx* pCipherText = pSM2Cipher->vetNodes[3];

    // 1 to 33 value octets: 32 of magnitude and a sign octet. An empty INTEGER is no coordinate at all.
    const unsigned long long nXCoordinateSize = pXCoordinate->ValueLength;
    QOVA_FAIL_IF(0 == nXCoordinateSize, QOVA_E_MALFORMED, "Check XCoordinate size in SM2Cipher.");
    QOVA_FAIL_IF(nXCoordinateSize > 33, QOVA_E_MALFORMED, "Check XCoordinate size in SM2Cipher.");
    const unsigned long long nYCoordinateSize = pYCoordinate->ValueLength;
    QOVA_FAIL_IF(0 == nYCoordinateSize, QOVA_E_MALFORMED, "Check YCoordinate size in SM2Cipher.");
    QOVA_FAIL_IF(nYCoordinateSize > 33, QOVA_E_MALFORMED, "Check YCoordinate size in SM2Cipher.");
    const unsigned long long nHASH = pHash->ValueLength;
    QOVA_FAIL_IF(SM3_HASH_SIZE != nHASH, QOVA_E_MALFORMED, "Check SM3 hash size in SM2Cipher.");
    // The raw form carries at least one octet of C2, and its length is an int.
    const unsigned long long nC2Size = pCipherText->ValueLength;
    QOVA_FAIL_IF(0 == nC2Size || nC2Size > static_cast<unsigned long long>(INT_MAX - kRawOverhead), QOVA_E_MALFORMED,
                 "Check CipherText size in SM2Cipher.");

    if (NULL == raw || NULL == rawLength)
        return QOVA_OK;

    const size_t nRawSize = static_cast<size_t>(nC2Size) + kRawOverhead;
    std::unique_ptr<unsigned char[]> pbyRaw(new (std::nothrow) unsigned char[nRawSize]());
    QOVA_FAIL_IF(NULL == pbyRaw, QOVA_E_FAIL, "New memory");

    nResult = ReadCoordinate(pXCoordinate, pbyRaw.get());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Read XCoordinate");
    nResult = ReadCoordinate(pYCoordinate, pbyRaw.get() + kCoordinateSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Read YCoordinate");
    unsigned char* pbyC2 = pbyRaw.get() + 2 * kCoordinateSize;
    nResult = ReadNodeExValue(pCipherText, 0, pbyC2, nC2Size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Read CipherText");
    nResult = ReadNodeExValue(pHash, 0, pbyC2 + nC2Size, SM3_HASH_SIZE);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Read HASH");

    *raw = pbyRaw.release();
    *rawLength = static_cast<int>(nRawSize);
    return QOVA_OK;
}

// Digests of data and files through the crypto library's digest interface.
#include "Digest.h"

#include "Misc.h"
#include "QovaTrace.h"
#include "KernelHolders.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

struct HashOidRow
{
    int nid;
    const char* digestOID;
    const char* signatureOID;
};

constexpr char kRsaEncryptionOID[] = "1.2.840.113549.1.1.1";

// SHA-1 names plain rsaEncryption as its signature algorithm, as the signers that read these
// SignerInfos expect.
constexpr HashOidRow kHashOidRows[] = {
    {NID_md5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
    {NID_sha1, "1.3.14.3.2.26", kRsaEncryptionOID},
    {NID_sha256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {NID_sha384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {NID_sha512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
};

const HashOidRow* FindHashOidRow(int nid)
{
    for (const HashOidRow& row : kHashOidRows) {
        if (row.nid == nid)
            return &row;
    }
    return nullptr;
}

}  // namespace

unsigned int GetAlgOIDbyHashNID(int nHashID, char** digestOID, char** signatureOID,
                                bool bAccurateDigestEncryptionAlgorithm)
{
    QOVA_FAIL_IF(NULL == digestOID || NULL == signatureOID, QOVA_E_INVALIDARG, "Check parameter");

    std::unique_ptr<char[]> digestText(new char[HASH_OID_BUFFER_SIZE]());
    std::unique_ptr<char[]> signatureText(new char[HASH_OID_BUFFER_SIZE]());

    const HashOidRow* pRow = FindHashOidRow(nHashID);
    if (NULL == pRow) {
        QOVA_TRACE_STEP_FAILED("The algorithm is not supported", QOVA_E_FAIL, "1");
        return QOVA_E_FAIL;
    }

    strcpy(digestText.get(), pRow->digestOID);
    strcpy(signatureText.get(), pRow->signatureOID);
    if (!bAccurateDigestEncryptionAlgorithm) {
        if (QovaLogEnabled())
            TRACE(3, "User defines unaccurate digest encryption algorithm");
        strcpy(signatureText.get(), kRsaEncryptionOID);
    }

    *digestOID = digestText.release();
    *signatureOID = signatureText.release();
    return QOVA_OK;
}

unsigned int CalculateDataHash(unsigned char* pbyData, int nDataSize, int nHashID, unsigned char** hash,
                               int* hashSize)
{
    QOVA_FAIL_IF(NULL == hash || NULL == hashSize, QOVA_E_INVALIDARG, "Check parameter");
    QOVA_FAIL_IF(nDataSize < 0 || (NULL == pbyData && 0 != nDataSize), QOVA_E_INVALIDARG, "Check parameter");

    const EVP_MD* pMD = EVP_get_digestbynid(nHashID);
    QOVA_FAIL_IF_SSL(NULL == pMD, QOVA_E_BAD_ALGID, "EVP_get_digestbynid");

    const int nHashSize = EVP_MD_get_size(pMD);
    QOVA_FAIL_IF_SSL(nHashSize <= 0, QOVA_E_FAIL, "EVP_MD_size");

    std::unique_ptr<unsigned char[]> digest(new unsigned char[nHashSize]());
    if (QovaLogEnabled())
        TRACE(3, "Source data size : %d", nDataSize);

    unsigned int nDigestLength = 0;
    const int nResult = EVP_Digest(pbyData, static_cast<size_t>(nDataSize), digest.get(), &nDigestLength, pMD, NULL);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_Digest");

    if (QovaLogEnabled())
        TRACE(3, "Hash value size : %d", nHashSize);
    *hash = digest.release();
    *hashSize = nHashSize;
    return QOVA_OK;
}

unsigned int CalculateFileHash(FILE* fpSourceFile, int nHashID, unsigned char** hash, int* hashSize)
{
    QOVA_FAIL_IF(NULL == fpSourceFile || NULL == hash || NULL == hashSize, QOVA_E_INVALIDARG, "Check parameter");

    const EVP_MD* pMD = EVP_get_digestbynid(nHashID);
    QOVA_FAIL_IF_SSL(NULL == pMD, QOVA_E_BAD_ALGID, "EVP_get_digestbynid");

    EVP_MD_CTX* pMDCtx = EVP_MD_CTX_new();
    smkernel::EvpMdCtxPtr context(pMDCtx);
    QOVA_FAIL_IF_SSL(NULL == pMDCtx, QOVA_E_FAIL, "EVP_MD_CTX_create");

    int nResult = EVP_DigestInit_ex(pMDCtx, pMD, NULL);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DigestInit_ex");

    // The size query also rewinds the stream, so the whole file is digested from its start. Files
    // of 2^31 bytes or more are refused there: the count below is an int.
    unsigned nFileSize = 0;
    {
        const unsigned int nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    }
    if (QovaLogEnabled())
        TRACE(3, "SourceFile size: %d", static_cast<int>(nFileSize));

    // Whole blocks are asked for, as many as reach the measured size but never more than
    // HASH_FILE_READ_BLOCKS at once: a file that grew while it is read is digested up to the end of
    // the block that reached the measured size, one that shrank fails. Reading many blocks per call
    // keeps the reading from costing more than the digest itself (16 KiB reads made SHA-256 of a
    // large file a quarter slower than the digest of the same bytes in memory).
    const long long nBlocksInFile = (static_cast<long long>(nFileSize) + HASH_FILE_BLOCK_SIZE - 1) / HASH_FILE_BLOCK_SIZE;
    const size_t nBufferSize =
        static_cast<size_t>(HASH_FILE_BLOCK_SIZE) * static_cast<size_t>(std::min<long long>(nBlocksInFile, HASH_FILE_READ_BLOCKS));
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[nBufferSize > 0 ? nBufferSize : 1]);
    QOVA_FAIL_IF(NULL == block, QOVA_E_FAIL, "New memory");

    long long nRemaining = nFileSize;
    while (nRemaining > 0) {
        const long long nBlocksLeft = (nRemaining + HASH_FILE_BLOCK_SIZE - 1) / HASH_FILE_BLOCK_SIZE;
        const size_t nToRead = std::min(nBufferSize, static_cast<size_t>(nBlocksLeft) * HASH_FILE_BLOCK_SIZE);
        const size_t nBytesOfRead = fread(block.get(), 1, nToRead, fpSourceFile);
        QOVA_FAIL_IF(nBytesOfRead <= 0 || ferror(fpSourceFile), QOVA_E_READ_FAULT, "fread");
        nResult = EVP_DigestUpdate(pMDCtx, block.get(), nBytesOfRead);
        QOVA_FAIL_IF_SSL(1!= nResult, QOVA_E_FAIL, "EVP_DigestUpdate");
        nRemaining -= static_cast<long long>(nBytesOfRead);
    }

    const int nHashSize = EVP_MD_get_size(pMD);
    QOVA_FAIL_IF_SSL(nHashSize <= 0, QOVA_E_FAIL, "EVP_MD_size");

    std::unique_ptr<unsigned char[]> digest(new unsigned char[nHashSize]());
    unsigned int nDigestLength = 0;
    nResult = EVP_DigestFinal_ex(pMDCtx, digest.get(), &nDigestLength);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DigestFinal_ex");

    *hash = digest.release();
    *hashSize = nHashSize;
    return QOVA_OK;
}

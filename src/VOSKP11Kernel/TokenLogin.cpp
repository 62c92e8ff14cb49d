#include "TokenLogin.h"

#include "P11Session.h"
#include "TokenSvcDetail.h"

#include <openssl/crypto.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// The stored PIN's bytes, cleared whenever they are let go.
class StoredPIN
{
public:
    ~StoredPIN() { Clear(); }
    void Set(const unsigned char* pbyPIN, size_t nSize)
    {
        Clear();
        m_bytes.assign(pbyPIN, pbyPIN + nSize);
    }
    void Clear()
    {
        if (!m_bytes.empty()) OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
        m_bytes.clear();
    }
    bool Is(const unsigned char* pbyPIN, int nPINSize) const
    {
        return !m_bytes.empty() && NULL != pbyPIN && nPINSize >= 0 &&
               static_cast<size_t>(nPINSize) == m_bytes.size() &&
               0 == CRYPTO_memcmp(pbyPIN, m_bytes.data(), m_bytes.size());
    }

private:
    std::vector<unsigned char> m_bytes;
};

// A token as its module path and the serial number it reports (16 characters, blank-padded).
using TokenKey = std::pair<std::string, std::string>;

// Main thread only, as the rest of the token services.
StoredPIN g_StoredPIN;
std::map<TokenKey, unsigned int> g_StoredPINRefusals;

// The token's answers that say the stored PIN will never open it: trying again only spends the
// tries left, or changes nothing.
bool IsPINRefusal(unsigned int nResult)
{
    for (const CK_RV rv : {CKR_PIN_INCORRECT, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE, CKR_PIN_EXPIRED, CKR_PIN_LOCKED}) {
        if (QovaP11Result(rv) == nResult) return true;
    }
    return false;
}

}  // namespace

void SetStoredPIN(const unsigned char* pbyPIN, int nPINSize)
{
    const bool bNone = NULL == pbyPIN || nPINSize <= 0;
    // The same PIN again (the services started a second time) keeps what the tokens said to it.
    if (!bNone && g_StoredPIN.Is(pbyPIN, nPINSize))
        return;
    g_StoredPINRefusals.clear();
    if (bNone)
        g_StoredPIN.Clear();
    else
        g_StoredPIN.Set(pbyPIN, static_cast<size_t>(nPINSize));
}

namespace {

// Whether the stored PIN may go to the token: not after the token refused it, nor when the token
// reports its PIN locked or one try left. *pToken receives the token's key for a refusal.
unsigned int CheckStoredPINLogin(const char* func, SessionCtx* pSessionCtx, TokenKey* pToken)
{
    CK_TOKEN_INFO stTokenInfo{};
    const unsigned int nResult = GetSessionTokenInfo(pSessionCtx, &stTokenInfo);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetSessionTokenInfo");
    const DylibInfo* pDylibInfo = pSessionCtx->pDylibInfo;
    *pToken = TokenKey(NULL != pDylibInfo->pszDylibPath ? pDylibInfo->pszDylibPath : "",
                       std::string(reinterpret_cast<const char*>(stTokenInfo.serialNumber),
                                   sizeof(stTokenInfo.serialNumber)));
    const auto remembered = g_StoredPINRefusals.find(*pToken);
    const unsigned int nRefusal = g_StoredPINRefusals.end() == remembered ? QOVA_OK : remembered->second;
    QOVA_FAIL_IF_IN(func, QOVA_OK != nRefusal, nRefusal, "Check stored PIN refusal");
    QOVA_FAIL_IF_IN(func, 0 != (stTokenInfo.flags & CKF_USER_PIN_LOCKED), QovaP11Result(CKR_PIN_LOCKED),
                    "Check CKF_USER_PIN_LOCKED");
    // The last try belongs to someone who knows the PIN: a wrong stored PIN would lock the token.
    QOVA_FAIL_IF_IN(func, 0 != (stTokenInfo.flags & CKF_USER_PIN_FINAL_TRY), QOVA_E_PIN_FINAL_TRY,
                    "Check CKF_USER_PIN_FINAL_TRY");
    return QOVA_OK;
}

}  // namespace

unsigned int LoginRecordSession(const char* func, _CERTIFICATE_DATA* pCertData, unsigned char* pbyPIN, int nPINSize)
{
    SessionCtx* pSessionCtx = pCertData->pstSessionCtx;
    const bool bStoredPIN = g_StoredPIN.Is(pbyPIN, nPINSize);
    TokenKey token;
    if (bStoredPIN) {
        const unsigned int nResult = CheckStoredPINLogin(func, pSessionCtx, &token);
        if (QOVA_OK != nResult) return nResult;
    }
    const unsigned int nResult = LoginSession(pSessionCtx, pbyPIN, nPINSize);
    if (bStoredPIN && IsPINRefusal(nResult)) g_StoredPINRefusals[token] = nResult;
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "LoginSession");
    return QOVA_OK;
}

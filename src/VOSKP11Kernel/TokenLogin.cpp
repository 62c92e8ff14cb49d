#include "TokenLogin.h"

#include "P11Session.h"
#include "TokenLoginLock.h"
#include "TokenSvcDetail.h"

#include <openssl/crypto.h>

#include <unistd.h>

#include <map>
#include <string>
#include <tuple>
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

// A token as its module path, slot ID, label and serial number: a blank or shared serial number
// alone would let one token's refusal stand for another's.
using TokenKey = std::tuple<std::string, CK_SLOT_ID, std::string, std::string>;

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

// The key of a named context's token.
TokenKey KeyOf(const SessionCtx* pSessionCtx)
{
    const char* pszPath = pSessionCtx->pDylibInfo->pszDylibPath;
    const char* pszLabel = reinterpret_cast<const char*>(pSessionCtx->tokenLabel);
    const char* pszSerial = reinterpret_cast<const char*>(pSessionCtx->tokenSerial);
    return TokenKey(NULL != pszPath ? pszPath : "", pSessionCtx->ulSlotID,
                    std::string(pszLabel, sizeof(pSessionCtx->tokenLabel)),
                    std::string(pszSerial, sizeof(pSessionCtx->tokenSerial)));
}

// Under the token's login lock: whether the token's flags let the stored PIN go to it, read now.
unsigned int CheckTokenFlags(const char* func, SessionCtx* pSessionCtx)
{
    CK_TOKEN_INFO stTokenInfo{};
    const unsigned int nResult = GetSessionTokenInfo(pSessionCtx, &stTokenInfo);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetSessionTokenInfo");
    QOVA_FAIL_IF_IN(func, 0 != (stTokenInfo.flags & CKF_USER_PIN_LOCKED), QovaP11Result(CKR_PIN_LOCKED),
                    "Check CKF_USER_PIN_LOCKED");
    // The last try belongs to someone who knows the PIN: a wrong stored PIN would lock the token.
    QOVA_FAIL_IF_IN(func, 0 != (stTokenInfo.flags & CKF_USER_PIN_FINAL_TRY), QOVA_E_PIN_FINAL_TRY,
                    "Check CKF_USER_PIN_FINAL_TRY");
    return QOVA_OK;
}

// The stored PIN's login: a remembered refusal, then the lock, the flags and the login.
unsigned int LoginWithStoredPIN(const char* func, SessionCtx* pSessionCtx, unsigned char* pbyPIN, int nPINSize)
{
    unsigned int nResult = NameSessionToken(pSessionCtx);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "NameSessionToken");
    const TokenKey token = KeyOf(pSessionCtx);
    const auto remembered = g_StoredPINRefusals.find(token);
    const unsigned int nRefusal = g_StoredPINRefusals.end() == remembered ? QOVA_OK : remembered->second;
    QOVA_FAIL_IF_IN(func, QOVA_OK != nRefusal, nRefusal, "Check stored PIN refusal");

    std::string dir;
    nResult = tokenlock::ChooseLockDir(func, "/run/user", "/tmp", geteuid(), &dir);
    if (QOVA_OK != nResult) return nResult;
    tokenlock::TokenLock lock;
    nResult = lock.Take(func, dir + "/" +
                                  tokenlock::LockFileName(pSessionCtx->pDylibInfo->pszDylibPath,
                                                          pSessionCtx->tokenLabel, pSessionCtx->tokenSerial));
    if (QOVA_OK != nResult) return nResult;

    nResult = CheckTokenFlags(func, pSessionCtx);
    if (QOVA_OK != nResult) return nResult;
    nResult = LoginSession(pSessionCtx, pbyPIN, nPINSize);
    if (IsPINRefusal(nResult)) g_StoredPINRefusals[token] = nResult;
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "LoginSession");
    return QOVA_OK;
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

unsigned int LoginRecordSession(const char* func, _CERTIFICATE_DATA* pCertData, unsigned char* pbyPIN, int nPINSize)
{
    SessionCtx* pSessionCtx = pCertData->pstSessionCtx;
    if (g_StoredPIN.Is(pbyPIN, nPINSize))
        return LoginWithStoredPIN(func, pSessionCtx, pbyPIN, nPINSize);
    const unsigned int nResult = LoginSession(pSessionCtx, pbyPIN, nPINSize);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "LoginSession");
    return QOVA_OK;
}

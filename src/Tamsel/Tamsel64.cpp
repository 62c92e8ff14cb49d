// The library's exported functions.
#include "Tamsel64.h"

#include "TamselDialogs.h"

extern "C" {

int GetSelectCert(const CertDisplayRecord* const* ppCertRecords)
{
    return tamsel::RunSelectCert(ppCertRecords);
}

int GetSelectedKey(const char* const* ppszKeyDesc)
{
    return tamsel::RunSelectedKey(ppszKeyDesc);
}

int GetUserPIN(int nInitState, int nMinPINSize, int nMaxPINSize, char** ppszPIN)
{
    return tamsel::RunUserPIN(nInitState, nMinPINSize, nMaxPINSize, ppszPIN);
}

int PlatformRunAlertPanel(const char* pszTitle, const char* pszMessage, const char* pszButton)
{
    return tamsel::RunAlertPanel(pszTitle, pszMessage, pszButton);
}

void PlatformCancelDialogs(void)
{
    tamsel::CancelDialogs();
}

}

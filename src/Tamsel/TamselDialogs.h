// The dialog framework inside the library: entry points behind the exported functions, the
// framework's bundle and its texts.
#ifndef TAMSEL_DIALOGS_H
#define TAMSEL_DIALOGS_H

#include "Tamsel64.h"

#include <memory>
#include <string>

namespace platform {
class Bundle;
}

namespace tamsel {

constexpr const char* kFrameworkBundleIdentifier = "qova.Tamsel.framework";

// The framework's resources: <library folder>/Resources unless the identifier was registered
// with another folder first.
std::shared_ptr<platform::Bundle> FrameworkBundle();
// A text of the framework's "Localizable" table (the key itself when the table lacks it).
std::string LocalizedString(const char* key);
// Registers the three window layouts (once per process).
void RegisterLayouts();

int RunSelectCert(const CertDisplayRecord* const* ppCertRecords);
int RunSelectedKey(const char* const* ppszKeyDesc);
int RunUserPIN(int nInitState, int nMinPINSize, int nMaxPINSize, char** ppszPIN);
int RunAlertPanel(const char* pszTitle, const char* pszMessage, const char* pszButton);
void CancelDialogs();

}  // namespace tamsel

#endif

// The certificate detail sheet: the certificate's full text and an "OK" button.
#ifndef PLATFORM_CERTIFICATE_PANEL_H
#define PLATFORM_CERTIFICATE_PANEL_H

#include <openssl/x509.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class Window;

struct X509Deleter
{
    void operator()(X509* x) const { X509_free(x); }
};
using CertificateRef = std::unique_ptr<X509, X509Deleter>;

// The certificate in DER form; null when the bytes are not exactly one certificate.
CertificateRef CertificateCreateWithData(const unsigned char* der, size_t size);

// The crypto library's full printout of the certificate, as valid UTF-8.
std::string CertificateDescription(X509* certificate);

class CertificatePanel
{
public:
    // Outlets of the sheet.
    static constexpr const char* kTextOutlet = "pCertificateText";
    static constexpr const char* kOKOutlet = "pCertificateOK";

    // Opens the sheet over parent for the certificate in der. False, and no sheet, when the bytes
    // are not a certificate or a sheet is already open. didEnd(sheet, 1) runs when the user
    // closes it; the sheet stays attached until the callee calls parent->EndSheet().
    static bool BeginSheetForWindow(Window* parent, const unsigned char* der, size_t size,
                                    std::function<void(Window* sheet, int returnCode)> didEnd);
};

}  // namespace platform

#endif

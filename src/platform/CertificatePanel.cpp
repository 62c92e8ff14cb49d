#include "platform/CertificatePanel.h"

#include "platform/AppKit.h"
#include "platform/Bundle.h"
#include "platform/Utf8.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <climits>

namespace platform {

namespace {

struct BioDeleter
{
    void operator()(BIO* b) const { BIO_free(b); }
};

// Where the printout's subject line ends (0 when it has none).
size_t EndOfSubjectLine(const std::string& description)
{
    const size_t subject = description.find("\n        Subject:");
    if (std::string::npos == subject)
        return 0;
    const size_t end = description.find('\n', subject + 1);
    return std::string::npos == end ? description.size() : end;
}

}  // namespace

CertificateRef CertificateCreateWithData(const unsigned char* der, size_t size)
{
    if (nullptr == der || 0 == size || size > static_cast<size_t>(LONG_MAX))
        return nullptr;
    const unsigned char* p = der;
    CertificateRef certificate(d2i_X509(nullptr, &p, static_cast<long>(size)));
    ERR_clear_error();
    // Trailing bytes mean the buffer is not one certificate.
    if (certificate && p != der + size)
        certificate.reset();
    return certificate;
}

std::string CertificateDescription(X509* certificate)
{
    if (nullptr == certificate)
        return std::string();
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return std::string();
    // One-line names with UTF-8 kept as it is (not escaped), so Chinese names read as text.
    const unsigned long nameFlags = XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB;
    X509_print_ex(bio.get(), certificate, nameFlags, 0);
    ERR_clear_error();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0 || nullptr == data)
        return std::string();
    return MakeValidUtf8(std::string(data, static_cast<size_t>(size)));
}

bool CertificatePanel::BeginSheetForWindow(Window* parent, const unsigned char* der, size_t size,
                                           std::function<void(Window*, int)> didEnd)
{
    if (nullptr == parent || nullptr != parent->AttachedSheet() || !parent->IsVisible())
        return false;
    CertificateRef certificate = CertificateCreateWithData(der, size);
    if (!certificate)
        return false;

    const std::shared_ptr<Bundle>& bundle = parent->GetBundle();
    const std::string title =
        bundle ? bundle->LocalizedStringForKey("Title", "Certificate", "CertificatePanel") : "Certificate";
    auto sheet = std::make_unique<Window>(title);
    sheet->SetBundle(bundle);
    sheet->SetContentWidth(600);
    auto text = std::make_unique<TextField>(kTextOutlet);
    text->SetMultiline(true);
    const std::string description = CertificateDescription(certificate.get());
    text->SetStringValue(description);
    // The sheet opens showing the issuer, the validity and the subject, in that order in the printout.
    text->SetInitiallyVisibleLength(EndOfSubjectLine(description));
    sheet->AddView(std::move(text));
    auto ok = std::make_unique<Button>(kOKOutlet);
    ok->SetTitle("OK");
    ok->SetDefault(true);
    // The sheet's one button answers Escape too: either key only closes the sheet.
    ok->SetCancel(true);
    ok->SetAction([parent, didEnd] {
        Window* current = parent->AttachedSheet();
        if (didEnd)
            didEnd(current, 1);
        if (current && parent->AttachedSheet() == current)
            parent->EndSheet();
    });
    sheet->AddView(std::move(ok));
    return parent->BeginSheet(std::move(sheet));
}

}  // namespace platform

// The certificate table: one row per offered certificate, a sheet with the certificate's details
// on double-click, OK and Cancel.
#ifndef TAMSEL_SELECT_CERT_WINDOW_CONTROLLER_H
#define TAMSEL_SELECT_CERT_WINDOW_CONTROLLER_H

#include "Tamsel64.h"

#include "platform/WindowController.h"

namespace tamsel {

// More rows than this are never copied nor shown.
constexpr int kMaxDisplayCount = 100;

class SelectCertWindowController : public platform::WindowController
{
public:
    SelectCertWindowController() = default;
    ~SelectCertWindowController() override;

    // Copies up to kMaxDisplayCount records; null when the layout is missing or memory ran out.
    SelectCertWindowController* InitWithCertificateInfo(const CertDisplayRecord* const* ppCertRecords);
    int GetWindowQuitState() const { return nQuitState; }
    void AwakeFromNib() override;
    void WindowDidLoad() override;
    void ObserveValueForKeyPath(const std::string& keyPath);
    void SheetDidEnd(platform::Window* sheet, int returnCode);
    void Inspect();
    void ClickCancel();
    void ClickOK();
    void Close() override;
    // The chosen record's index, or -1 without a selection.
    int GetSelectCert() const;

    bool WindowShouldClose(platform::Window& window) override;
    int DisplayCount() const { return nDisplayCount; }

private:
    void ReleaseCopies();

    platform::TableView* pCertTableView = nullptr;
    platform::ArrayController* pCertContentArray = nullptr;
    int nSelectedIndex = -1;
    int nDisplayCount = 0;
    int nQuitState = -1;
    char* pszCertificateInfoSet[kMaxDisplayCount][2] = {};
    DATA_BLOB stCertificateDataSet[kMaxDisplayCount] = {};
};

}  // namespace tamsel

#endif

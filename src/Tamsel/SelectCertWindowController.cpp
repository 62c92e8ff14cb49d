#include "SelectCertWindowController.h"

#include "TamselDialogs.h"

#include "platform/CertificatePanel.h"
#include "platform/DialogApp.h"
#include "platform/Utf8.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tamsel {

namespace {

char* CopyText(const char* text)
{
    const size_t length = text ? strlen(text) : 0;
    char* copy = static_cast<char*>(calloc(length + 1, 1));
    if (copy && length)
        memcpy(copy, text, length);
    return copy;
}

// A cell shows nothing for a text that is not UTF-8.
std::string CellText(const char* text)
{
    std::string s = text ? text : "";
    return platform::IsValidUtf8(s) ? s : std::string();
}

}  // namespace

SelectCertWindowController::~SelectCertWindowController()
{
    ReleaseCopies();
}

SelectCertWindowController* SelectCertWindowController::InitWithCertificateInfo(
    const CertDisplayRecord* const* ppCertRecords)
{
    nQuitState = -1;
    if (!InitWithWindowNibName("SelectCertWindowController", FrameworkBundle()))
        return nullptr;
    ReleaseCopies();
    nDisplayCount = 0;
    nSelectedIndex = -1;
    SetActionHandler("ClickOK", [this] { ClickOK(); });
    SetActionHandler("ClickCancel", [this] { ClickCancel(); });
    SetActionHandler("inspect", [this] { Inspect(); });

    for (int i = 0; ppCertRecords && ppCertRecords[i] && i < kMaxDisplayCount; ++i) {
        const CertDisplayRecord* record = ppCertRecords[i];
        pszCertificateInfoSet[i][0] = CopyText(record->pszSubjectDN);
        pszCertificateInfoSet[i][1] = CopyText(record->pszIssuerDN);
        if (nullptr == pszCertificateInfoSet[i][0] || nullptr == pszCertificateInfoSet[i][1]) {
            ReleaseCopies();
            return nullptr;
        }
        // A certificate that cannot be copied only means its sheet cannot open.
        const int64_t size = record->stCertData.lDataSize;
        if (record->stCertData.pbyData && size > 0 && static_cast<uint64_t>(size) <= SIZE_MAX) {
            auto* copy = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
            if (copy) {
                memcpy(copy, record->stCertData.pbyData, static_cast<size_t>(size));
                stCertificateDataSet[i].pbyData = copy;
                stCertificateDataSet[i].lDataSize = size;
            }
        }
        nDisplayCount = i + 1;
    }
    return this;
}

void SelectCertWindowController::AwakeFromNib()
{
    platform::Window* window = GetWindow();
    pCertTableView = window->FindView<platform::TableView>("pCertTableView");
    pCertContentArray = window->FindView<platform::ArrayController>("pCertContentArray");
    // A double-click on a row opens the certificate's details.
    if (pCertTableView)
        pCertTableView->SetDoubleAction([this] { Inspect(); });
}

void SelectCertWindowController::WindowDidLoad()
{
    if (!pCertContentArray)
        return;
    pCertContentArray->AddObserver("selectionIndexes", [this] { ObserveValueForKeyPath("selectionIndexes"); });
    for (int i = 0; i < nDisplayCount; ++i) {
        pCertContentArray->AddObject({{"SubjectDN", CellText(pszCertificateInfoSet[i][0])},
                                      {"IssuerDN", CellText(pszCertificateInfoSet[i][1])}});
    }
}

void SelectCertWindowController::ObserveValueForKeyPath(const std::string& /*keyPath*/)
{
    // Selection changes need no action: OK reads the selection when pressed.
}

void SelectCertWindowController::SheetDidEnd(platform::Window* /*sheet*/, int /*returnCode*/)
{
    if (platform::Window* window = GetWindow())
        window->EndSheet();
}

void SelectCertWindowController::Inspect()
{
    if (!pCertContentArray)
        return;
    const int index = pCertContentArray->SelectionIndex();
    if (index < 0 || index >= nDisplayCount)
        return;
    const DATA_BLOB& blob = stCertificateDataSet[index];
    platform::CertificatePanel::BeginSheetForWindow(
        GetWindow(), blob.pbyData, static_cast<size_t>(blob.lDataSize > 0 ? blob.lDataSize : 0),
        [this](platform::Window* sheet, int returnCode) { SheetDidEnd(sheet, returnCode); });
}

void SelectCertWindowController::ClickCancel()
{
    nSelectedIndex = -1;
    nQuitState = 1;
    Close();
}

void SelectCertWindowController::ClickOK()
{
    nQuitState = 1;
    const int selection = pCertContentArray ? pCertContentArray->SelectionIndex() : -1;
    if (selection >= 0 && selection < nDisplayCount) {
        nSelectedIndex = selection;
        Close();
        return;
    }
    platform::RunAlertPanel(LocalizedString("SelectCertTitle"), LocalizedString("SelectCertContext"), "OK");
    nSelectedIndex = -1;
    // The answer is settled: nothing the window holds is needed any more.
    Close();
}

void SelectCertWindowController::Close()
{
    ReleaseCopies();
    WindowController::Close();
}

int SelectCertWindowController::GetSelectCert() const
{
    if (nullptr == pCertContentArray || pCertContentArray->SelectionIndex() < 0)
        return -1;
    return nSelectedIndex;
}

bool SelectCertWindowController::WindowShouldClose(platform::Window& /*window*/)
{
    ClickCancel();
    return false;
}

void SelectCertWindowController::ReleaseCopies()
{
    for (int i = 0; i < kMaxDisplayCount; ++i) {
        free(pszCertificateInfoSet[i][0]);
        free(pszCertificateInfoSet[i][1]);
        pszCertificateInfoSet[i][0] = nullptr;
        pszCertificateInfoSet[i][1] = nullptr;
        free(stCertificateDataSet[i].pbyData);
        stCertificateDataSet[i].pbyData = nullptr;
        stCertificateDataSet[i].lDataSize = 0;
    }
}

}  // namespace tamsel

/* Tamsel64: the certificate-selection, key-selection and PIN dialogs.
 * Every function but PlatformCancelDialogs must be called on the main thread of the process. */
#ifndef TAMSEL64_H
#define TAMSEL64_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAMSEL64_EXPORT __attribute__((visibility("default")))

/* A byte buffer and its size. */
typedef struct _DATA_BLOB
{
    unsigned char* pbyData;
    int64_t lDataSize;
} DATA_BLOB;

/* One certificate offered for selection. A missing DN is passed as empty text (null is taken as
 * empty too). The dialog copies what it shows: the record need only live for the call. */
typedef struct CertDisplayRecord
{
    const char* pszSubjectDN;
    const char* pszIssuerDN;
    struct _DATA_BLOB stCertData; /* the certificate, DER */
} CertDisplayRecord;

/* Shows the certificate table for a null-terminated array of records (at most the first 100 are
 * shown). Returns the index of the chosen record, or -1 when the user made no choice (Cancel, OK
 * without a selection, window closed, no display). */
TAMSEL64_EXPORT int GetSelectCert(const CertDisplayRecord* const* ppCertRecords);

/* Shows a list of key descriptions (null-terminated array of UTF-8 texts; the first is
 * preselected). Returns the chosen index, -1 when cancelled, -2 when the window was closed
 * without either button. */
TAMSEL64_EXPORT int GetSelectedKey(const char* const* ppszKeyDesc);

/* Asks for a PIN of nMinPINSize to nMaxPINSize characters (counted in UTF-16 units, at most 127
 * bytes of UTF-8); nInitState 1 opens with the notice that the previous PIN was wrong. Returns 0
 * with *ppszPIN set to a malloc copy of the PIN (the caller wipes and frees it), or -1 when
 * cancelled (*ppszPIN untouched). */
TAMSEL64_EXPORT int GetUserPIN(int nInitState, int nMinPINSize, int nMaxPINSize, char** ppszPIN);

/* A modal alert with one button and no parent window. Returns 1 once dismissed, or -1 when no
 * dialog can be shown (the texts then go to stderr as one line) or PlatformCancelDialogs ended it. */
TAMSEL64_EXPORT int PlatformRunAlertPanel(const char* pszTitle, const char* pszMessage, const char* pszButton);

/* For a process that is ending: every dialog open now ends as cancelled (an open certificate
 * sheet first, then its window; an alert with them), and every later one answers as cancelled
 * without being shown. Callable from any thread, also while the main thread is inside a dialog:
 * it only marks the request and wakes the main thread's event loop, which ends the dialogs
 * between two events. */
TAMSEL64_EXPORT void PlatformCancelDialogs(void);

#ifdef __cplusplus
}
#endif

#endif

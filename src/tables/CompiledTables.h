// The host's compiled-in tables: the PKCS#11 modules it may load, and the certificates that the
// signature of every module file must chain to. They live in a library of their own, generated from
// two text files at build time, so that a build or a test executable can trust another publisher
// without rebuilding anything else.
#ifndef VARNELL_TABLES_COMPILED_TABLES_H
#define VARNELL_TABLES_COMPILED_TABLES_H

// Rows {display name, module path}, in the order the modules are tried.
extern const char* g_P11_dylibPath[][2];
extern const int g_P11_dylibPath_rows;

// Base64 (one line) of each DER certificate, in chain order: issuing CA first, root last.
extern const char* g_CertificateChain[];
extern const int g_CertificateChain_rows;

#endif

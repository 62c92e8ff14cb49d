// Compiled-in tables without any module: every selection finds nothing and no module is ever
// loaded. For the tests that never reach a token, and for the request fuzzer.
#include "CompiledTables.h"

const char* g_P11_dylibPath[][2] = {{nullptr, nullptr}};
const int g_P11_dylibPath_rows = 0;

const char* g_CertificateChain[] = {nullptr};
const int g_CertificateChain_rows = 0;

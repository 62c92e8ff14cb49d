// Prints the compiled-in tables: "module <display name>|<module path>" and "cert <Base64>" lines.
#include "CompiledTables.h"

#include <cstdio>

int main()
{
    for (int i = 0; i < g_P11_dylibPath_rows; ++i)
        printf("module %s|%s\n", g_P11_dylibPath[i][0], g_P11_dylibPath[i][1]);
    for (int i = 0; i < g_CertificateChain_rows; ++i)
        printf("cert %s\n", g_CertificateChain[i]);
    return 0;
}

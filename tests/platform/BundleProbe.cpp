// Prints the resources folder of its own code, as a program of the bundle would find it:
//   bundle_probe [--chdir <dir>]
// With --chdir the program first moves elsewhere, as a host may after its start.
#include "platform/Bundle.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void Anchor() {}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && 0 == strcmp(argv[1], "--chdir") && 0 != chdir(argv[2])) {
        perror("chdir");
        return 2;
    }
    auto bundle = platform::Bundle::BundleForAddress(reinterpret_cast<const void*>(&Anchor));
    if (!bundle)
        return 1;
    printf("%s\n", bundle->ResourcePath().c_str());
    return 0;
}

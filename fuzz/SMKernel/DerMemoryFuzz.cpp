// Parses arbitrary octets from memory; whatever parses must re-encode, and the re-encoding must be
// stable: parsing and encoding it again gives the same octets.
#include "DerMemoryRoundTrip.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (nullptr != der_fuzz::RoundTripFault(data, size))
        __builtin_trap();
    return 0;
}

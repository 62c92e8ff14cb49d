// Helpers shared by the token services' source files; not part of their interface.
#ifndef VARNELL_TOKENSVC_DETAIL_H
#define VARNELL_TOKENSVC_DETAIL_H

#include "CertInfo.h"
#include "QovaTrace.h"

#include <cstdio>
#include <memory>

// A plain trace line; its arguments are not evaluated while logging is off.
#define TOKENSVC_TRACE(...)                          \
    do {                                             \
        if (QovaLogEnabled()) TRACE(3, __VA_ARGS__); \
    } while (0)

namespace tokensvc {

struct FileClose
{
    void operator()(FILE* fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

}  // namespace tokensvc

#endif

// Holders for cJSON trees and cJSON-allocated texts.
#ifndef VARNELL_NATIVEMSG_JSON_HOLDERS_H
#define VARNELL_NATIVEMSG_JSON_HOLDERS_H

#include <cjson/cJSON.h>

#include <memory>

struct CJsonDelete
{
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
struct CJsonFree
{
    void operator()(char* p) const { cJSON_free(p); }
};

using CJsonPtr = std::unique_ptr<cJSON, CJsonDelete>;
using CJsonTextPtr = std::unique_ptr<char, CJsonFree>;

#endif

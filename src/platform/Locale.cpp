#include "platform/Locale.h"

#include <cstdlib>

namespace platform {

std::string Locale::CurrentLocaleIdentifier()
{
    std::string value;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = getenv(name);
        if (v && *v) {
            value = v;
            break;
        }
    }
    const size_t cut = value.find_first_of(".@");
    if (cut != std::string::npos)
        value.erase(cut);
    if (value.empty() || value == "C" || value == "POSIX")
        return "en_US_POSIX";
    return value;
}

std::string Locale::PreferredLocalization(const std::string& id)
{
    if (id == "zh" || id == "zh_CN" || id == "zh_SG" || id.compare(0, 7, "zh_Hans") == 0)
        return "zh-Hans";
    const size_t cut = id.find_first_of("_-");
    return cut == std::string::npos ? id : id.substr(0, cut);
}

}  // namespace platform

// The user's locale as the localized texts need it.
#ifndef PLATFORM_LOCALE_H
#define PLATFORM_LOCALE_H

#include <string>

namespace platform {

class Locale
{
public:
    // First non-empty of LC_ALL, LC_MESSAGES, LANG, with codeset and modifier cut
    // ("zh_CN.UTF-8" gives "zh_CN"); "C", "POSIX" or nothing set gives "en_US_POSIX".
    static std::string CurrentLocaleIdentifier();

    // The localization folder (without ".lproj") to prefer for a locale identifier: "zh-Hans" for
    // "zh", "zh_CN", "zh_SG" and "zh_Hans*", otherwise the language part ("zh_TW" gives "zh").
    static std::string PreferredLocalization(const std::string& localeIdentifier);
};

}  // namespace platform

#endif

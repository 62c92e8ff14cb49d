// Bundles: a folder of resources (string tables, localization folders) found beside a program.
//   MainBundle()            <directory of the running executable>/../Resources
//                           (PLATFORM_MAIN_BUNDLE replaces it, for test programs)
//   BundleForAddress(&fn)   <directory of the shared object holding fn>/Resources, as an absolute
//                           path also when the program was started by a relative one
//   BundleWithPath(dir)     dir itself; null when dir is not a directory
#ifndef PLATFORM_BUNDLE_H
#define PLATFORM_BUNDLE_H

#include <memory>
#include <string>

namespace platform {

class Bundle
{
public:
    explicit Bundle(std::string resourcePath);

    static std::shared_ptr<Bundle> MainBundle();
    static std::shared_ptr<Bundle> BundleWithPath(const std::string& path);
    static std::shared_ptr<Bundle> BundleForAddress(const void* address);
    // A bundle registered under an identifier (e.g. a framework's); null when none is.
    static std::shared_ptr<Bundle> BundleWithIdentifier(const std::string& identifier);
    static void RegisterIdentifier(const std::string& identifier, const std::string& resourcePath);

    const std::string& ResourcePath() const { return m_resourcePath; }

    // "<name>.<type>" (file or folder) among the resources, then in the preferred, Base and en
    // localizations; empty when there is none.
    std::string PathForResource(const std::string& name, const std::string& type) const;

    // The text for `key` in table `table` (default "Localizable"): the preferred localization for
    // the current locale first, then Base.lproj, en.lproj and the resources folder itself. A key
    // found nowhere gives `value` when that is not empty, else the key itself.
    std::string LocalizedStringForKey(const std::string& key, const std::string& value,
                                      const std::string& table) const;
    // The same lookup with the localization chosen by the caller instead of the locale ("" for
    // none: Base.lproj, en.lproj and the resources folder only), for texts whose language rule is
    // not the dialogs' own.
    std::string LocalizedStringForKey(const std::string& key, const std::string& value, const std::string& table,
                                      const std::string& localization) const;

private:
    std::string m_resourcePath;
};

// The absolute path of the folder holding the program or shared library that contains `address`
// (what BundleForAddress builds on); empty when it cannot be found.
std::string DirectoryOfObjectAt(const void* address);

}  // namespace platform

#endif

#include "platform/Bundle.h"

#include "platform/Locale.h"
#include "platform/StringsFile.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

namespace {

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return !path.empty() && 0 == stat(path.c_str(), &st) && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return !path.empty() && 0 == stat(path.c_str(), &st);
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::mutex g_mutex;

std::map<std::string, std::string>& Identifiers()
{
    static auto* identifiers = new std::map<std::string, std::string>;
    return *identifiers;
}

// Parsed tables by file path. A table that does not parse counts as empty: a broken translation
// must not take the dialogs down, and the shipped tables are checked by the tests.
std::map<std::string, std::shared_ptr<const StringsTable>>& TableCache()
{
    static auto* cache = new std::map<std::string, std::shared_ptr<const StringsTable>>;
    return *cache;
}

std::shared_ptr<const StringsTable> LoadTable(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto& cache = TableCache();
    auto it = cache.find(path);
    if (it != cache.end())
        return it->second;
    auto table = std::make_shared<StringsTable>();
    if (!ParseStringsFile(path, table.get()))
        table->clear();
    cache[path] = table;
    return table;
}

}  // namespace

Bundle::Bundle(std::string resourcePath) : m_resourcePath(std::move(resourcePath)) {}

std::shared_ptr<Bundle> Bundle::MainBundle()
{
    const char* overridePath = getenv("PLATFORM_MAIN_BUNDLE");
    if (overridePath && *overridePath)
        return std::make_shared<Bundle>(overridePath);
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return std::make_shared<Bundle>("Resources");
    exe[n] = '\0';
    return std::make_shared<Bundle>(DirectoryOf(DirectoryOf(exe)) + "/Resources");
}

std::shared_ptr<Bundle> Bundle::BundleWithPath(const std::string& path)
{
    if (!IsDirectory(path))
        return nullptr;
    return std::make_shared<Bundle>(path);
}

std::string DirectoryOfObjectAt(const void* address)
{
    Dl_info info;
    link_map* object = nullptr;
    if (0 == dladdr1(address, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) || nullptr == info.dli_fname)
        return std::string();
    // A relative folder would move with the working directory. The main program is reported by the
    // name it was started with ("./prog", "prog", or whatever its starter chose), so its real path
    // comes from the kernel; a library loaded by a relative path is resolved against the current one.
    char real[PATH_MAX];
    std::string file;
    const bool bMainProgram = nullptr != object && nullptr != object->l_name && '\0' == object->l_name[0];
    if (bMainProgram || nullptr == strchr(info.dli_fname, '/')) {
        const ssize_t n = readlink("/proc/self/exe", real, sizeof(real) - 1);
        if (n <= 0)
            return std::string();
        real[n] = '\0';
        file = real;
    } else if ('/' == info.dli_fname[0]) {
        file = info.dli_fname;
    } else if (nullptr != realpath(info.dli_fname, real)) {
        file = real;
    } else {
        return std::string();
    }
    return DirectoryOf(file);
}

std::shared_ptr<Bundle> Bundle::BundleForAddress(const void* address)
{
    const std::string directory = DirectoryOfObjectAt(address);
    if (directory.empty())
        return nullptr;
    return std::make_shared<Bundle>(directory + "/Resources");
}

std::shared_ptr<Bundle> Bundle::BundleWithIdentifier(const std::string& identifier)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = Identifiers().find(identifier);
    if (it == Identifiers().end())
        return nullptr;
    return std::make_shared<Bundle>(it->second);
}

void Bundle::RegisterIdentifier(const std::string& identifier, const std::string& resourcePath)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Identifiers()[identifier] = resourcePath;
}

namespace {

std::string CurrentLocalization()
{
    return Locale::PreferredLocalization(Locale::CurrentLocaleIdentifier());
}

std::vector<std::string> SearchFolders(const std::string& root, const std::string& preferred)
{
    std::vector<std::string> folders;
    for (const std::string& l : {preferred, std::string("Base"), std::string("en")}) {
        const std::string folder = root + "/" + l + ".lproj";
        bool seen = false;
        for (const auto& f : folders)
            seen = seen || f == folder;
        if (!l.empty() && !seen)
            folders.push_back(folder);
    }
    folders.push_back(root);
    return folders;
}

}  // namespace

std::string Bundle::PathForResource(const std::string& name, const std::string& type) const
{
    const std::string file = type.empty() ? name : name + "." + type;
    if (name.empty() || file.find('/') != std::string::npos)
        return std::string();
    const std::string flat = m_resourcePath + "/" + file;
    if (Exists(flat))
        return flat;
    for (const auto& folder : SearchFolders(m_resourcePath, CurrentLocalization())) {
        const std::string candidate = folder + "/" + file;
        if (Exists(candidate))
            return candidate;
    }
    return std::string();
}

std::string Bundle::LocalizedStringForKey(const std::string& key, const std::string& value,
                                          const std::string& table) const
{
    return LocalizedStringForKey(key, value, table, CurrentLocalization());
}

std::string Bundle::LocalizedStringForKey(const std::string& key, const std::string& value, const std::string& table,
                                          const std::string& localization) const
{
    const std::string tableFile = (table.empty() ? std::string("Localizable") : table) + ".strings";
    if (tableFile.find('/') == std::string::npos) {
        for (const auto& folder : SearchFolders(m_resourcePath, localization)) {
            const std::string path = folder + "/" + tableFile;
            if (!Exists(path))
                continue;
            auto parsed = LoadTable(path);
            auto it = parsed->find(key);
            if (it != parsed->end())
                return it->second;
        }
    }
    return value.empty() ? key : value;
}

}  // namespace platform

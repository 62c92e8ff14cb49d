// Helpers of the certificate-selection tests: the module list over test modules and SoftHSM2, the
// selection fixtures, and the call logs of opensc's spy and of the test module.
#ifndef VARNELL_TOKENSVC_SELECTION_TEST_SUPPORT_H
#define VARNELL_TOKENSVC_SELECTION_TEST_SUPPORT_H

#include "CertificateOperation.h"
#include "DylibInfo.h"
#include "P11TestBed.h"
#include "SessionTrace.h"
#include "Tamsel64.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace selecttest {

using sessiontrace::SessionTrace;

// Certificates of make-select-fixtures.sh and its template tokens (tokA: sig1, enc1, sm2; tokB:
// both, plain).
inline std::string FixtureDir()
{
    return SELECT_FIXTURE_DIR;
}
inline std::string Der(const std::string& name)
{
    return FixtureDir() + "/" + name + ".der";
}
inline std::string TemplateTokens()
{
    return FixtureDir() + "/softhsm/tokens";
}

// The fixture name of a record, from the common name of its subject ("CN=Alice Signer, ...").
inline std::string NameOf(const char* pszSubjectDN)
{
    static const std::pair<const char*, const char*> kNames[] = {{"CN=Alice Signer,", "sig1"},
                                                                 {"CN=Alice Crypt,", "enc1"},
                                                                 {"CN=SM2 Signer,", "sm2"},
                                                                 {"CN=Carol Both,", "both"},
                                                                 {"CN=Bob Plain,", "plain"}};
    const std::string subject = pszSubjectDN ? pszSubjectDN : "";
    for (const auto& [prefix, name] : kNames) {
        if (0 == subject.rfind(prefix, 0)) return name;
    }
    return pszSubjectDN ? subject : "(null)";
}

inline std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

// Seconds since 1970 of a UTC date and time.
inline time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// The module list over the given rows {display name, module file}. Each module is linked into a
// private folder under a ".dylib" name with an empty signature file beside it: the unverified
// load asks only that both files are there. Frees the list at scope end: declare it before any
// record, so that the records go first.
class ModuleList
{
public:
    explicit ModuleList(const std::vector<std::pair<std::string, std::string>>& rows)
    {
        for (size_t i = 0; i < rows.size(); ++i) {
            const std::string stem = m_dir.File("m" + std::to_string(i));
            m_paths.push_back(stem + ".dylib");
            m_names.push_back(rows[i].first);
            if (0 != symlink(rows[i].second.c_str(), m_paths.back().c_str()) ||
                !testutil::WriteFile(stem + ".sig", ""))
                ADD_FAILURE() << "cannot place " << rows[i].second;
        }
        Build();
    }
    // The rows' module paths as they are (one may stand twice); the caller places the signatures.
    struct AsGiven {};
    ModuleList(const std::vector<std::pair<std::string, std::string>>& rows, AsGiven)
    {
        for (const auto& [name, path] : rows) m_names.push_back(name), m_paths.push_back(path);
        Build();
    }
    ~ModuleList() { UnitDylibInfoList(m_head); }
    ModuleList(const ModuleList&) = delete;
    ModuleList& operator=(const ModuleList&) = delete;

    // Loads every module, or the one at index i, without the signature check.
    void Load() { LoadDylibInfoList(m_head, nullptr, false, nullptr, 0); }
    void Load(size_t i) { LoadDylibInfoList(m_head, m_paths[i].c_str(), false, nullptr, 0); }
    void Unload() { UnloadDylibInfoList(m_head); }

    void* Head() const { return m_head; }
    DylibInfo* Entry(size_t i) const
    {
        DylibInfo* entry = static_cast<DylibInfo*>(m_head);
        while (entry && i-- > 0) entry = entry->pNext;
        return entry;
    }
    const std::string& Path(size_t i) const { return m_paths[i]; }

private:
    void Build()
    {
        const size_t rows = m_paths.size();
        std::unique_ptr<const char* [][2]> table(new const char*[rows + 1][2]);
        for (size_t i = 0; i < rows; ++i) {
            table[i][0] = m_names[i].c_str();
            table[i][1] = m_paths[i].c_str();
        }
        EXPECT_EQ(QOVA_OK, InitDylibInfoList(table.get(), static_cast<int>(rows), &m_head));
    }

    testutil::ScopedTempDir m_dir;
    std::vector<std::string> m_names;
    std::vector<std::string> m_paths;
    void* m_head = nullptr;
};

}  // namespace selecttest

#endif

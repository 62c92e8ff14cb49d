#include "DialogTestSupport.h"

#include "TamselDialogs.h"
#include "TestCertificates.h"
#include "TestUtil.h"

#include "platform/Bundle.h"
#include "platform/DialogBackend.h"

#include <cstdlib>

namespace dialogtest {

std::string FrameworkResources()
{
    return testutil::BinaryDir() + "/VarnellHost.app/Frameworks/Tamsel64.framework/Resources";
}

void DialogTest::SetUp()
{
    const char* lcAll = getenv("LC_ALL");
    m_hadLcAll = lcAll != nullptr;
    m_savedLcAll = lcAll ? lcAll : "";
    SetLocale("C.UTF-8");
    platform::Bundle::RegisterIdentifier(tamsel::kFrameworkBundleIdentifier, FrameworkResources());
}

void DialogTest::TearDown()
{
    platform::SetDialogBackend(nullptr);
    if (m_hadLcAll)
        setenv("LC_ALL", m_savedLcAll.c_str(), 1);
    else
        unsetenv("LC_ALL");
}

platform::ScriptedDialogBackend* DialogTest::UseScript(std::vector<platform::UserEvent> events)
{
    auto backend = std::make_unique<platform::ScriptedDialogBackend>(std::move(events));
    platform::ScriptedDialogBackend* raw = backend.get();
    platform::SetDialogBackend(std::move(backend));
    return raw;
}

void DialogTest::SetLocale(const char* lcAll)
{
    setenv("LC_ALL", lcAll, 1);
}

void RecordSet::Add(const char* subject, const char* issuer)
{
    AddRaw(subject, issuer,
           testcerts::MakeCertificate(subject ? subject : "none", issuer ? issuer : "none",
                                      static_cast<long>(m_records.size() + 1)));
}

void RecordSet::AddRaw(const char* subject, const char* issuer, std::vector<unsigned char> der)
{
    m_subjects.push_back(subject ? subject : "");
    m_issuers.push_back(issuer ? issuer : "");
    m_ders.push_back(std::move(der));
    CertDisplayRecord record;
    record.pszSubjectDN = subject ? m_subjects.back().c_str() : nullptr;
    record.pszIssuerDN = issuer ? m_issuers.back().c_str() : nullptr;
    record.stCertData.pbyData = m_ders.back().empty() ? nullptr : m_ders.back().data();
    record.stCertData.lDataSize = static_cast<int64_t>(m_ders.back().size());
    m_records.push_back(record);
}

const CertDisplayRecord* const* RecordSet::Pointers()
{
    m_pointers.clear();
    for (const auto& r : m_records)
        m_pointers.push_back(&r);
    m_pointers.push_back(nullptr);
    return m_pointers.data();
}

}  // namespace dialogtest

// Shared set-up of the dialog tests: the framework's texts from the build tree, a chosen locale,
// a scripted backend, and certificate records that own their storage.
#ifndef TAMSEL_DIALOG_TEST_SUPPORT_H
#define TAMSEL_DIALOG_TEST_SUPPORT_H

#include "Tamsel64.h"

#include "platform/ScriptedDialogBackend.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace dialogtest {

// The framework's resources as the build placed them.
std::string FrameworkResources();

class DialogTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    // Installs a scripted backend with these events; the test keeps the pointer for its checks.
    platform::ScriptedDialogBackend* UseScript(std::vector<platform::UserEvent> events);
    void SetLocale(const char* lcAll);

private:
    std::string m_savedLcAll;
    bool m_hadLcAll = false;
};

// Certificate records and the null-terminated pointer array GetSelectCert takes.
class RecordSet
{
public:
    // A record with a real certificate; null texts are passed as null pointers.
    void Add(const char* subject, const char* issuer);
    // A record whose certificate bytes are given as they are.
    void AddRaw(const char* subject, const char* issuer, std::vector<unsigned char> der);
    const CertDisplayRecord* const* Pointers();
    size_t Size() const { return m_records.size(); }
    const std::string& Subject(size_t i) const { return m_subjects[i]; }

private:
    std::deque<std::string> m_subjects;
    std::deque<std::string> m_issuers;
    std::deque<std::vector<unsigned char>> m_ders;
    std::deque<CertDisplayRecord> m_records;
    std::vector<const CertDisplayRecord*> m_pointers;
};

}  // namespace dialogtest

#endif

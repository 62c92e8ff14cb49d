// Certificates made on the fly for dialog tests.
#ifndef PLATFORM_TEST_CERTIFICATES_H
#define PLATFORM_TEST_CERTIFICATES_H

#include <string>
#include <utility>
#include <vector>

namespace testcerts {

// A DER certificate (EC P-256, signed by its own key) with the given UTF-8 common names and
// serial number.
std::vector<unsigned char> MakeCertificate(const std::string& subjectCN, const std::string& issuerCN, long serial);

// Name entries in order, each {short name, UTF-8 value}: {{"C", "CN"}, {"OU", "..."}, {"CN", "..."}}.
using NameEntries = std::vector<std::pair<std::string, std::string>>;
// The same with whole names, for names longer than one common name can be.
std::vector<unsigned char> MakeCertificate(const NameEntries& subject, const NameEntries& issuer, long serial);

}  // namespace testcerts

#endif

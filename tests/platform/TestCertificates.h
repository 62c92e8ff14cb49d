// Certificates made on the fly for dialog tests.
#ifndef PLATFORM_TEST_CERTIFICATES_H
#define PLATFORM_TEST_CERTIFICATES_H

#include <string>
#include <vector>

namespace testcerts {

// A DER certificate (EC P-256, signed by its own key) with the given UTF-8 common names and
// serial number.
std::vector<unsigned char> MakeCertificate(const std::string& subjectCN, const std::string& issuerCN, long serial);

}  // namespace testcerts

#endif

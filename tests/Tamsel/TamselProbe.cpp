// A small program that calls one entry point of the dialog library, as the host would, and writes
// the answer to a file (never to stdout, which is the host's reply pipe). With --stay it then lives
// on for that many seconds without running the toolkit, as a caller busy with other work would.
//   tamsel_probe [--answer FILE] [--stay SECONDS] select-cert COUNT | select-key KEY... | pin INIT MIN MAX |
//                alert TITLE MESSAGE
#include "Tamsel64.h"

#include "TestCertificates.h"

#include <openssl/crypto.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Usage()
{
    fprintf(stderr, "usage: tamsel_probe [--answer FILE] [--stay SECONDS] select-cert COUNT | select-key KEY... | "
                    "pin INIT MIN MAX | alert TITLE MESSAGE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int i = 1;
    const char* answerPath = nullptr;
    if (i + 1 < argc && 0 == strcmp(argv[i], "--answer")) {
        answerPath = argv[i + 1];
        i += 2;
    }
    int staySeconds = 0;
    if (i + 1 < argc && 0 == strcmp(argv[i], "--stay")) {
        staySeconds = atoi(argv[i + 1]);
        i += 2;
    }
    if (i >= argc)
        return Usage();
    const std::string command = argv[i++];
    std::string answer;
    if (command == "select-cert" && i < argc) {
        const int count = atoi(argv[i]);
        std::vector<std::string> subjects;
        std::vector<std::vector<unsigned char>> ders;
        for (int n = 0; n < count; ++n) {
            subjects.push_back("CN=Probe User " + std::to_string(n) + ", O=Varnell Test");
            ders.push_back(testcerts::MakeCertificate("Probe User " + std::to_string(n), "Varnell Test CA", n + 1));
        }
        std::vector<CertDisplayRecord> records(static_cast<size_t>(count));
        std::vector<const CertDisplayRecord*> pointers;
        for (int n = 0; n < count; ++n) {
            records[n].pszSubjectDN = subjects[n].c_str();
            records[n].pszIssuerDN = "CN=Varnell Test CA, O=Varnell Test";
            records[n].stCertData.pbyData = ders[n].data();
            records[n].stCertData.lDataSize = static_cast<int64_t>(ders[n].size());
            pointers.push_back(&records[n]);
        }
        pointers.push_back(nullptr);
        answer = std::to_string(GetSelectCert(pointers.data()));
    } else if (command == "select-key") {
        std::vector<const char*> keys(argv + i, argv + argc);
        keys.push_back(nullptr);
        answer = std::to_string(GetSelectedKey(keys.data()));
    } else if (command == "pin" && i + 2 < argc) {
        char* pin = nullptr;
        const int code = GetUserPIN(atoi(argv[i]), atoi(argv[i + 1]), atoi(argv[i + 2]), &pin);
        answer = std::to_string(code);
        if (0 == code && pin) {
            answer += " " + std::string(pin);
            OPENSSL_cleanse(pin, strlen(pin));
            free(pin);
        }
    } else if (command == "alert" && i + 1 < argc) {
        answer = std::to_string(PlatformRunAlertPanel(argv[i], argv[i + 1], "OK"));
    } else {
        return Usage();
    }
    if (answerPath) {
        FILE* f = fopen(answerPath, "w");
        if (!f)
            return 3;
        fprintf(f, "%s\n", answer.c_str());
        fclose(f);
    }
    if (staySeconds > 0)
        sleep(static_cast<unsigned>(staySeconds));
    return 0;
}

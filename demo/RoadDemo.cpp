// Runs the parts of the agent's main road that exist today, against a real PKCS#11 module:
//   1. a native-messaging request frame is read, split and answered as a frame;
//   2. the module is bound, every certificate object of every token is read with its CKA_ID,
//      the user logs in and the private key of the first certificate is found on the token.
// Usage: varnell_road_demo <module path> <user PIN>
#include "IOStream.h"
#include "JSONUtility.h"
#include "P11Kernel.h"

#include <openssl/bio.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string SubjectOf(const unsigned char* pbyDer, int nSize)
{
    const unsigned char* p = pbyDer;
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, nSize), X509_free);
    if (!cert)
        return "(not a certificate)";
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_ONELINE);
    char* pszText = nullptr;
    const long nLen = BIO_get_mem_data(bio.get(), &pszText);
    return std::string(pszText, static_cast<size_t>(nLen));
}

bool FrameRoundTrip()
{
    int fds[2];
    if (0 != pipe(fds))
        return false;
    const std::string request = R"({"function":"GetVersion","params":[],"randomId":"17"})";
    const unsigned int nLen = static_cast<unsigned int>(request.size());
    const unsigned char header[4] = {static_cast<unsigned char>(nLen), static_cast<unsigned char>(nLen >> 8),
                                     static_cast<unsigned char>(nLen >> 16), static_cast<unsigned char>(nLen >> 24)};
    bool ok = write(fds[1], header, 4) == 4 &&
              write(fds[1], request.data(), request.size()) == static_cast<ssize_t>(request.size());

    char* pszMsg = nullptr;
    int nMsgLen = 0;
    ok = ok && 0 == ReadFromNativeMessaging(fds[0], &pszMsg, &nMsgLen) && pszMsg;
    std::unique_ptr<char[]> msg(pszMsg);
    if (ok)
        std::printf("request  (%d bytes): %s\n", nMsgLen, msg.get());

    char* pszRandomId = nullptr;
    char* pszFuncName = nullptr;
    cJSON* pParams = nullptr;
    ok = ok && 0 == ParseRequestMsgToJSON(msg.get(), &pszRandomId, &pszFuncName, &pParams);
    std::unique_ptr<char[]> randomId(pszRandomId), funcName(pszFuncName);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> params(pParams, cJSON_Delete);

    cJSON* pResponse = nullptr;
    ok = ok && 0 == ConstructResponseJSON(funcName.get(), 0, QOVA_RESULT_TYPE_STRING, "3.0.0.6", &pResponse);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> response(pResponse, cJSON_Delete);
    char* pszAnswer = nullptr;
    ok = ok && 0 == ConvertJSONToResponseMsg(randomId.get(), funcName.get(), response.get(), &pszAnswer);
    std::unique_ptr<char[]> answer(pszAnswer);
    ok = ok && 0 == WriteToNativeMessaging(fds[1], answer.get());
    close(fds[1]);

    char* pszEcho = nullptr;
    ok = ok && 0 == ReadFromNativeMessaging(fds[0], &pszEcho, &nMsgLen) && pszEcho;
    std::unique_ptr<char[]> echo(pszEcho);
    close(fds[0]);
    if (ok)
        std::printf("answer   (%d bytes): %s\n", nMsgLen, echo.get());
    return ok;
}

bool TokenWalk(const char* pszModule, const char* pszPin)
{
    std::unique_ptr<DylibInfo[]> entry(new DylibInfo[1]());
    std::string path = pszModule, name = "Demo token";
    entry[0].pszDylibPath = &path[0];
    entry[0].pszCSPName = &name[0];

    unsigned int nResult = LoadP11Dylib(entry.get());
    std::printf("LoadP11Dylib: 0x%08x\n", nResult);
    if (0 != nResult)
        return false;

    std::vector<_CERTIFICATE_DATA*> records;
    nResult = GetAllCertDataFromDevices(entry.get(), records);
    std::printf("GetAllCertDataFromDevices: 0x%08x, %zu certificate(s)\n", nResult, records.size());
    for (const _CERTIFICATE_DATA* pRecord : records)
        std::printf("  CKA_ID \"%s\", %d bytes, %s\n", pRecord->pszCkID, pRecord->nCertificateSize,
                    SubjectOf(pRecord->pbyCertificate, pRecord->nCertificateSize).c_str());

    bool ok = 0 == nResult && !records.empty();
    if (ok) {
        _CERTIFICATE_DATA* pFirst = records.front();
        nResult = LoginSession(pFirst->pstSessionCtx, reinterpret_cast<unsigned char*>(const_cast<char*>(pszPin)),
                               static_cast<int>(strlen(pszPin)));
        std::printf("LoginSession: 0x%08x\n", nResult);
        CK_OBJECT_HANDLE hKey = 0;
        CK_KEY_TYPE ulKeyType = 0;
        if (0 == nResult) {
            nResult = AcquireCertificatePrivateKey(pFirst, &hKey, &ulKeyType);
            std::printf("AcquireCertificatePrivateKey: 0x%08x (%s key)\n", nResult, ulKeyType == 0 ? "RSA" : "SM2");
            LogoutSession(pFirst->pstSessionCtx);
        }
        ok = 0 == nResult;
    }

    // Releasing the last record closes its session, and the module is finalised with it.
    ClearCertificateDataSet(records);
    UnLoadP11Dylib(entry.get());
    std::printf("module loaded after release: %d\n", entry[0].bLoaded);
    return ok && 0 == entry[0].bLoaded;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <PKCS#11 module> <user PIN>\n", argv[0]);
        return 2;
    }
    std::printf("== native-messaging frame\n");
    const bool framesOk = FrameRoundTrip();
    std::printf("== PKCS#11 token\n");
    const bool tokenOk = TokenWalk(argv[1], argv[2]);
    std::printf("road demo: %s\n", framesOk && tokenOk ? "passed" : "FAILED");
    return framesOk && tokenOk ? 0 : 1;
}

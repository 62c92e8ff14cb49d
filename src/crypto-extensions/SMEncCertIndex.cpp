// Finding the encryption certificate in a list that holds a signing certificate, its issuers and an
// encryption certificate: every entry on the signing certificate's issuer path is marked, and the
// first unmarked one is the encryption certificate.
#include "SMVerify.h"

#include <openssl/err.h>

#include <memory>
#include <new>

namespace {

// The old library's "no memory" reason; pushed under the X509 library as (11, 65).
constexpr int kReasonNoMemory = 65;

void PushNoMemory(const char* function)
{
    ERR_new();
    ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, function);
    ERR_set_error(ERR_LIB_X509, kReasonNoMemory, nullptr);
}

// The walk from start up its issuers, with the list's first entry marked from the outset;
// issued(subject, issuer) is its issuer test. Marks that cannot be had go on the error queue in
// the name of `function`.
template <typename IssuedTest>
int WalkIssuerPath(const char* function, STACK_OF(X509)* certs, X509* start, IssuedTest issued)
{
    const int n = sk_X509_num(certs);
    if (n <= 0)
        return -1;
    std::unique_ptr<bool[]> marks(new (std::nothrow) bool[static_cast<size_t>(n)]());
    if (!marks) {
        PushNoMemory(function);
        return -1;
    }
    marks[0] = true;
    X509* current = start;
    while (current != nullptr && !issued(current, current)) {
        int found = -1;
        for (int j = 1; j < n && found < 0; ++j) {
            if (issued(current, sk_X509_value(certs, j)))
                found = j;
        }
        // A found entry already on the path means the issuers go round in a circle; the walk would
        // never end.
        if (found < 0 || marks[found])
            break;
        marks[found] = true;
        current = sk_X509_value(certs, found);
    }
    for (int i = 0; i < n; ++i) {
        if (!marks[i])
            return i;
    }
    return -1;
}

}  // namespace

int st_x509_get_enc_cert_index(STACK_OF(X509)* certs)
{
    if (certs == nullptr) {
        PushNoMemory(__func__);
        return -1;
    }
    return WalkIssuerPath(__func__, certs, sk_X509_value(certs, 0),
                          [](X509* subject, X509* issuer) { return X509_check_issued(issuer, subject) == X509_V_OK; });
}

int x509_get_enc_cert_index(X509_STORE_CTX* ctx)
{
    STACK_OF(X509)* certs = ctx != nullptr ? X509_STORE_CTX_get0_untrusted(ctx) : nullptr;
    X509_STORE_CTX_check_issued_fn checkIssued = ctx != nullptr ? X509_STORE_CTX_get_check_issued(ctx) : nullptr;
    if (certs == nullptr || checkIssued == nullptr) {
        PushNoMemory(__func__);
        return -1;
    }
    return WalkIssuerPath(__func__, certs, X509_STORE_CTX_get0_cert(ctx),
                          [ctx, checkIssued](X509* subject, X509* issuer) {
                              return checkIssued(ctx, subject, issuer) == 1;
                          });
}

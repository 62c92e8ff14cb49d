// The revocation lookup through the application's send and receive callbacks, and its text helpers.
//
// Request: <request><head><type>3001</type></head><body><crldpn>DN</crldpn><sn>SERIAL</sn></body></request>
// Reply:   ...<result>1001</result>...<status>0001|0000</status>...  (good | revoked)
#include "SMVerify.h"

#include "CryptoExtHolders.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t kNameTextMax = 1024;       // a name or URI text
constexpr size_t kNamesTextMax = 5120;      // all names of a distribution point
constexpr size_t kRequestMax = 1024;        // request, terminator included
constexpr int kDnPartsMax = 10;
constexpr size_t kDnPartMax = 511;

struct FreeDeleter
{
    void operator()(void* p) const { free(p); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;
using DistPointsPtr = std::unique_ptr<CRL_DIST_POINTS, smdetail::LibraryFree<CRL_DIST_POINTS, CRL_DIST_POINTS_free>>;

// A malloc'd NUL-terminated copy handed out through the optional pair (text, length).
int HandOut(const std::string& s, char** text, int* length)
{
    char* copy = static_cast<char*>(malloc(s.size() + 1));
    if (copy == nullptr)
        return 0;
    memcpy(copy, s.data(), s.size());
    copy[s.size()] = '\0';
    *text = copy;
    if (length != nullptr)
        *length = static_cast<int>(s.size());
    return 1;
}

// The texts of one lookup, released on every path.
class UrlArray
{
public:
    UrlArray() { m_urls.fill(nullptr); }
    ~UrlArray() { FreeLdapURLArray(m_urls.data()); }
    UrlArray(const UrlArray&) = delete;
    UrlArray& operator=(const UrlArray&) = delete;

    char*& operator[](size_t i) { return m_urls[i]; }

private:
    std::array<char*, SM_LDAP_URL_ARRAY_SIZE> m_urls;
};

// The serial number as the library writes an INTEGER: two uppercase hex digits per byte, a minus
// sign for a negative number, "00" for zero; never wrapped, whatever its length.
std::string SerialText(const ASN1_INTEGER* serial)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER)
        text += '-';
    const unsigned char* p = ASN1_STRING_get0_data(serial);
    const int n = ASN1_STRING_length(serial);
    if (p == nullptr || n <= 0)
        return text + "00";
    for (int i = 0; i < n; ++i) {
        text += kHex[p[i] >> 4];
        text += kHex[p[i] & 0x0F];
    }
    return text;
}

// The DN travels inside an XML element: markup characters of a certificate's text are escaped so
// that no distribution point can change the request's shape.
std::string XmlEscaped(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += *p; break;
        }
    }
    return out;
}

// The DN part of a distribution-point text: of an LDAP URL the path after the host up to the
// query, otherwise the whole text. Empty on a URL without a path.
bool DnFromText(const std::string& text, std::string* dn)
{
    const size_t scheme = text.find("ldap://");
    if (scheme == std::string::npos) {
        *dn = text;
        return true;
    }
    const size_t slash = text.find('/', scheme + 7);
    if (slash == std::string::npos)
        return false;
    if (text.find('?') == std::string::npos) {
        *dn = text.substr(slash + 1);
        return true;
    }
    const size_t query = text.find('?', slash + 1);
    if (query == std::string::npos)
        return false;
    *dn = text.substr(slash + 1, query - slash - 1);
    return true;
}

bool BeginsWithCommonName(const std::string& dn)
{
    return dn.size() >= 3 && (dn[0] == 'c' || dn[0] == 'C') && (dn[1] == 'n' || dn[1] == 'N') && dn[2] == '=';
}

// Outcome of the lookup for one certificate.
enum class Lookup { Good, Revoked, Failed, NoDistributionPoint };

// The distribution-point texts of a certificate, in order, into urls. False when the extension is
// absent or the library cannot decode that kind of extension.
bool CollectDistributionPoints(X509* cert, UrlArray& urls)
{
    const int pos = X509_get_ext_by_NID(cert, NID_crl_distribution_points, -1);
    X509_EXTENSION* ext = pos >= 0 ? X509_get_ext(cert, pos) : nullptr;
    if (ext == nullptr || X509V3_EXT_get(ext) == nullptr)
        return false;
    // A value that does not decode gives no points, and with them no text.
    DistPointsPtr points(static_cast<CRL_DIST_POINTS*>(X509V3_EXT_d2i(ext)));
    size_t count = 0;
    const int n = points ? sk_DIST_POINT_num(points.get()) : 0;
    for (int i = 0; i < n && count < static_cast<size_t>(SM_LDAP_URL_ARRAY_SIZE); ++i) {
        DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        if (point == nullptr || point->distpoint == nullptr || point->distpoint->type != 0)
            continue;
        char* text = nullptr;
        if (GetDP(point->distpoint, &text, nullptr) == 1 && text != nullptr)
            urls[count++] = text;
    }
    return true;
}

// The reply as text: at most SM_REVOCATION_REPLY_MAX bytes, read no further than the length the
// callback gave and no further than its first NUL. False when the reply breaks either bound.
bool ReplyText(const char* reply, int length, std::string* text)
{
    if (reply == nullptr || length < 0 || length > SM_REVOCATION_REPLY_MAX)
        return false;
    text->assign(reply, strnlen(reply, static_cast<size_t>(length)));
    return true;
}

// Text of one element of the reply, or false when the element is missing.
bool ReplyElement(const std::string& reply, const char* start, const char* end, std::string* value)
{
    char* found = nullptr;
    if (Get_SpecifiedStrFromStrData(reply.c_str(), start, end, &found) != 0)
        return false;
    MallocText holder(found);
    value->assign(found);
    return true;
}

Lookup AskRevocationService(X509_STORE_CTX* ctx, X509* cert)
{
    SM_REVOCATION_SEND_CB send = SM_X509_STORE_CTX_get_send_cb(ctx);
    SM_REVOCATION_RECV_CB recv = SM_X509_STORE_CTX_get_recv_cb(ctx);
    if (cert == nullptr || send == nullptr || recv == nullptr)
        return Lookup::Failed;

    UrlArray urls;
    if (!CollectDistributionPoints(cert, urls))
        return Lookup::NoDistributionPoint;

    const ASN1_INTEGER* serialNumber = X509_get0_serialNumber(cert);
    if (serialNumber == nullptr)
        return Lookup::Failed;
    const std::string serial = SerialText(serialNumber);

    const char* first = nullptr;
    for (int i = 0; i < SM_LDAP_URL_ARRAY_SIZE && first == nullptr; ++i) {
        if (urls[i] != nullptr && urls[i][0] != '\0')
            first = urls[i];
    }
    if (first == nullptr)
        return Lookup::Failed;

    std::string dn;
    if (!DnFromText(first, &dn))
        return Lookup::Failed;
    if (!BeginsWithCommonName(dn)) {
        std::string reversed = dn;
        if (X509_Reverse_CRLDN_Order(&reversed[0]) != 0)
            return Lookup::Failed;
        dn.assign(reversed.c_str());
    }

    char request[kRequestMax];
    const int requestLength =
        snprintf(request, sizeof(request),
                 "<request><head><type>3001</type></head><body><crldpn>%s</crldpn><sn>%s</sn></body></request>",
                 XmlEscaped(dn.c_str()).c_str(), serial.c_str());
    if (requestLength < 0 || static_cast<size_t>(requestLength) >= sizeof(request))
        return Lookup::Failed;

    if (send(socketFD, request, requestLength) < 0)
        return Lookup::Failed;
    char* reply = nullptr;
    int replyLength = 0;
    const int received = recv(socketFD, &reply, &replyLength);
    MallocText replyHolder(reply);   // freed on every path, also when the receive failed
    std::string text;
    if (received < 0 || !ReplyText(reply, replyLength, &text))
        return Lookup::Failed;

    std::string result, status;
    if (!ReplyElement(text, "<result>", "</result>", &result) || result != "1001" ||
        !ReplyElement(text, "<status>", "</status>", &status))
        return Lookup::Failed;
    if (status == "0001")
        return Lookup::Good;
    if (status == "0000")
        return Lookup::Revoked;
    return Lookup::Failed;
}

}  // namespace

int check_revocation_use_local_LDAP(X509_STORE_CTX* ctx)
{
    if (ctx == nullptr)
        return 0;
    const unsigned long flags = X509_VERIFY_PARAM_get_flags(X509_STORE_CTX_get0_param(ctx));
    if ((flags & X509_V_FLAG_CRL_CHECK) == 0)
        return 1;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    int last = 0;
    if (flags & X509_V_FLAG_CRL_CHECK_ALL) {
        last = sk_X509_num(chain) - 1;   // -1 for an empty chain: nothing to check
    } else if (X509_STORE_CTX_get0_parent_ctx(ctx) != nullptr) {
        return 1;   // a CRL-path context
    }
    const bool softFail = SM_X509_STORE_CTX_get_ldap_soft_fail(ctx) == 1;
    for (int i = 0; i <= last; ++i) {
        X509_STORE_CTX_set_error_depth(ctx, i);
        switch (AskRevocationService(ctx, sk_X509_value(chain, i))) {
        case Lookup::Good:
            break;
        case Lookup::Revoked:
            // Verification goes on; the caller reads the error.
            X509_STORE_CTX_set_error(ctx, X509_V_ERR_CERT_REVOKED);
            break;
        case Lookup::NoDistributionPoint:
            if (!softFail) {
                X509_STORE_CTX_set_error(ctx, SM_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT);
                return 0;
            }
            break;
        case Lookup::Failed:
            if (!softFail) {
                X509_STORE_CTX_set_error(ctx, X509_V_ERR_UNABLE_TO_GET_CRL);
                return 0;
            }
            break;
        }
    }
    return 1;
}

int GetX509Name(X509_NAME* name, char** text, int* length)
{
    if (name == nullptr || text == nullptr)
        return 0;
    const int count = X509_NAME_entry_count(name);
    if (count <= 0)
        return 0;
    std::string out;
    for (int i = count - 1; i >= 0; --i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int nid = entry != nullptr ? OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) : NID_undef;
        const char* sn = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
        if (sn == nullptr)
            return 0;
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        if (n < 0)
            return 0;
        smdetail::OpensslBytesPtr value(utf8);
        if (i != count - 1)
            out += ',';
        out += sn;
        out += '=';
        out.append(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n));
        if (out.size() > kNameTextMax)
            return 0;
    }
    return HandOut(out, text, length);
}

int GetGeneralName(GENERAL_NAME* name, char** text, int* length)
{
    if (name == nullptr || text == nullptr)
        return 0;
    if (name->type == GEN_DIRNAME)
        return GetX509Name(name->d.directoryName, text, length);
    if (name->type == GEN_URI && name->d.uniformResourceIdentifier != nullptr) {
        const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
        const char* p = reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri));
        const int n = ASN1_STRING_length(uri);
        if (p != nullptr && n >= 4 && strncmp(p, "ldap", 4) == 0) {
            // A NUL inside the value would cut the text short unnoticed.
            if (static_cast<size_t>(n) > kNameTextMax || memchr(p, '\0', static_cast<size_t>(n)) != nullptr)
                return 0;
            return HandOut(std::string(p, static_cast<size_t>(n)), text, length);
        }
    }
    return HandOut(std::string(), text, length);
}

int GetGeneralNames(GENERAL_NAMES* names, char** text, int* length)
{
    if (names == nullptr || text == nullptr)
        return 0;
    std::string out;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        char* one = nullptr;
        const int result = GetGeneralName(sk_GENERAL_NAME_value(names, i), &one, nullptr);
        if (result != 1)
            return result;
        MallocText holder(one);
        out += one;
        if (out.size() > kNamesTextMax)
            return 0;
    }
    return HandOut(out, text, length);
}

int GetDP(DIST_POINT_NAME* dpn, char** text, int* length)
{
    if (text == nullptr)
        return 0;
    if (dpn == nullptr || dpn->type != 0) {
        *text = nullptr;
        if (length != nullptr)
            *length = 0;
        return 1;
    }
    return GetGeneralNames(dpn->name.fullname, text, length);
}

void FreeLdapURLArray(char** urls)
{
    if (urls == nullptr)
        return;
    for (int i = 0; i < SM_LDAP_URL_ARRAY_SIZE; ++i) {
        free(urls[i]);
        urls[i] = nullptr;
    }
}

int Get_SpecifiedStrFromStrData(const char* text, const char* start, const char* end, char** result)
{
    if (text == nullptr || start == nullptr || end == nullptr || result == nullptr)
        return -1;
    const char* from = strstr(text, start);
    if (from == nullptr)
        return -1;
    from += strlen(start);
    const char* to = strstr(from, end);
    if (to == nullptr)
        return -1;
    const size_t n = static_cast<size_t>(to - from);
    char* copy = static_cast<char*>(malloc(n + 1));
    if (copy == nullptr)
        return -1;
    memcpy(copy, from, n);
    copy[n] = '\0';
    *result = copy;
    return 0;
}

int X509_Reverse_CRLDN_Order(char* dn)
{
    if (dn == nullptr || dn[0] == '\0')
        return -1;
    const char* parts[kDnPartsMax];
    size_t sizes[kDnPartsMax];
    int count = 0;
    for (const char* p = dn; *p != '\0';) {
        const char* comma = strchr(p, ',');
        const size_t n = comma != nullptr ? static_cast<size_t>(comma - p) : strlen(p);
        if (n > kDnPartMax)
            return -1;
        if (n > 0) {
            if (count == kDnPartsMax)
                return -1;
            parts[count] = p;
            sizes[count] = n;
            ++count;
        }
        p += n;
        if (*p == ',')
            ++p;
    }
    const size_t total = strlen(dn);
    std::unique_ptr<char, FreeDeleter> out(static_cast<char*>(malloc(total + 1)));
    if (!out)
        return -1;
    size_t at = 0;
    for (int i = count - 1; i >= 0; --i) {
        memcpy(out.get() + at, parts[i], sizes[i]);
        at += sizes[i];
        if (i > 0)
            out.get()[at++] = ',';
    }
    out.get()[at] = '\0';
    memcpy(dn, out.get(), at + 1);
    return 0;
}

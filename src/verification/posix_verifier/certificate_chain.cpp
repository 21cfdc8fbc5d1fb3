#include "certificate_chain.h"

#include "wintrust_codes.h"

#include <QString>
#include <QStringList>

#include <openssl/pem.h>

#include <algorithm>
#include <initializer_list>

namespace {

constexpr char kSystemCertificateDirectory[] = "/etc/ssl/certs";
constexpr char kLifetimeSigningOid[] = "1.3.6.1.4.1.311.10.3.13";
constexpr int kMinimumRsaBits = 2048; // RSA and DSA
constexpr int kMinimumEcBits = 256;

using IssuingDistPointPtr =
    std::unique_ptr<ISSUING_DIST_POINT, OpenSslFree<ISSUING_DIST_POINT_free>>;
using ExtendedKeyUsagePtr =
    std::unique_ptr<EXTENDED_KEY_USAGE, OpenSslFree<EXTENDED_KEY_USAGE_free>>;

quint32 codeForVerifyError(int error) {
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return wintrust::kExpired;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return wintrust::kUntrustedRoot;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return wintrust::kCertificateSignature;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        return wintrust::kBasicConstraints;
    default: // issuer not found and every other fault of the chain's structure
        return wintrust::kChaining;
    }
}

// A certificate may be used for a purpose when its extended key usage names it (or any purpose);
// a CA certificate without the extension does not restrict its subordinates.
bool allowsUse(X509* certificate, CertificateUse use, bool isLeaf) {
    const bool hasExtendedKeyUsage = (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0;
    if (!hasExtendedKeyUsage)
        return !isLeaf;
    const uint32_t usages = X509_get_extended_key_usage(certificate);
    const uint32_t wanted = use == CertificateUse::CodeSigning ? XKU_CODE_SIGN : XKU_TIMESTAMP;
    return (usages & wanted) != 0 || (!isLeaf && (usages & XKU_ANYEKU) != 0);
}

// Keys and certificate signatures too weak to vouch for anything: RSA and DSA keys below 2048
// bits, EC keys below 256 bits, and signatures over MD2, MD4 or MD5. A trust anchor's signature on
// itself proves nothing and is not judged; its key is.
bool isStrongEnough(X509* certificate, bool isTrustAnchor) {
    const EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (key == nullptr)
        return false;
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
    case EVP_PKEY_DSA:
        if (EVP_PKEY_get_bits(key) < kMinimumRsaBits)
            return false;
        break;
    case EVP_PKEY_EC:
        if (EVP_PKEY_get_bits(key) < kMinimumEcBits)
            return false;
        break;
    default:
        break;
    }
    if (isTrustAnchor)
        return true;
    int digest = NID_undef;
    if (X509_get_signature_info(certificate, &digest, nullptr, nullptr, nullptr) != 1)
        return false;
    return digest != NID_md2 && digest != NID_md4 && digest != NID_md5 && digest != NID_md5_sha1;
}

// The URIs among full names (a distribution point's, or a CRL's issuing distribution point's).
QStringList uris(const DIST_POINT_NAME* point) {
    QStringList urls;
    if (point == nullptr || point->type != 0)
        return urls; // a name relative to the issuer carries no URL
    const GENERAL_NAMES* names = point->name.fullname;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_URI)
            continue;
        const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
        urls.append(QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                        ASN1_STRING_length(uri)));
    }
    return urls;
}

QStringList httpDistributionPoints(X509* certificate) {
    QStringList urls;
    const DistPointsPtr points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr)));
    for (int i = 0; points && i < sk_DIST_POINT_num(points.get()); ++i) {
        for (const QString& url : uris(sk_DIST_POINT_value(points.get(), i)->distpoint)) {
            if (url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
                urls.append(url);
        }
    }
    return urls;
}

X509CrlPtr parseCrl(const QByteArray& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    X509CrlPtr crl(d2i_X509_CRL(nullptr, &data, static_cast<long>(bytes.size())));
    if (crl)
        return crl;
    const BioPtr bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
    return X509CrlPtr(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
}

// A list that may speak for the certificate now: issued by its issuer, signed with the issuer's
// key, already in force and not yet superseded.
bool isCurrentCrlFor(X509_CRL* crl, X509* certificate, X509* issuer) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(certificate)) != 0)
        return false;
    EVP_PKEY* issuerKey = X509_get0_pubkey(issuer);
    if (issuerKey == nullptr || X509_CRL_verify(crl, issuerKey) != 1)
        return false;
    const ASN1_TIME* thisUpdate = X509_CRL_get0_lastUpdate(crl);
    const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(crl);
    return thisUpdate != nullptr && nextUpdate != nullptr &&
           X509_cmp_current_time(thisUpdate) < 0 && X509_cmp_current_time(nextUpdate) > 0;
}

bool hasUnknownCriticalExtension(const STACK_OF(X509_EXTENSION) * extensions,
                                 std::initializer_list<int> known) {
    for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
        X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions, i);
        const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension));
        if (X509_EXTENSION_get_critical(extension) &&
            std::find(known.begin(), known.end(), nid) == known.end())
            return true;
    }
    return false;
}

// Only a complete CRL may say that a certificate is not revoked: one for every reason, whose scope
// includes the certificate, fetched from a point the certificate names (url). A delta CRL, an
// indirect CRL, a CRL of only CA or only end-entity certificates, of only some reasons or of
// another distribution point, and a CRL with a critical extension (of its own or of any entry) that
// this check does not know never count.
bool isCompleteFor(X509_CRL* crl, X509* certificate, const QString& url) {
    if (X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0 ||
        hasUnknownCriticalExtension(
            X509_CRL_get0_extensions(crl),
            {NID_issuing_distribution_point, NID_authority_key_identifier, NID_crl_number}))
        return false;
    const STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(crl);
    for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
        if (hasUnknownCriticalExtension(
                X509_REVOKED_get0_extensions(sk_X509_REVOKED_value(entries, i)),
                {NID_crl_reason, NID_invalidity_date, NID_hold_instruction_code}))
            return false;
    }
    int critical = 0;
    const IssuingDistPointPtr scope(static_cast<ISSUING_DIST_POINT*>(
        X509_CRL_get_ext_d2i(crl, NID_issuing_distribution_point, &critical, nullptr)));
    if (!scope)
        return critical == -1; // absent: every certificate of the issuer; else undecodable
    const bool isCa = X509_check_ca(certificate) != 0;
    if (scope->indirectCRL || scope->onlysomereasons != nullptr || scope->onlyattr ||
        (scope->onlyCA && !isCa) || (scope->onlyuser && isCa))
        return false;
    return scope->distpoint == nullptr || uris(scope->distpoint).contains(url);
}

} // namespace

X509StorePtr makeTrustStore(const QByteArray& trustAnchorsPem) {
    X509StorePtr store(X509_STORE_new());
    if (!store)
        return store;
    if (trustAnchorsPem.isEmpty()) {
        X509_STORE_load_path(store.get(), kSystemCertificateDirectory);
        return store;
    }
    const BioPtr bio(
        BIO_new_mem_buf(trustAnchorsPem.constData(), static_cast<int>(trustAnchorsPem.size())));
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr);
    for (int i = 0; infos != nullptr && i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509 != nullptr)
            X509_STORE_add_cert(store.get(), info->x509);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return store;
}

bool hasLifetimeSigningUsage(X509* certificate) {
    const ExtendedKeyUsagePtr usages(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(certificate, NID_ext_key_usage, nullptr, nullptr)));
    const AsnObjectPtr lifetime(OBJ_txt2obj(kLifetimeSigningOid, 1));
    for (int i = 0; usages && i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
        if (OBJ_cmp(sk_ASN1_OBJECT_value(usages.get(), i), lifetime.get()) == 0)
            return true;
    }
    return false;
}

quint32 verifyCertificateChain(X509_STORE* store, X509* signer, STACK_OF(X509) * untrusted,
                               std::optional<time_t> at, CertificateUse use, X509StackPtr& chain) {
    const X509StoreCtxPtr context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store, signer, untrusted) != 1)
        return wintrust::kFail;
    if (at)
        X509_STORE_CTX_set_time(context.get(), 0, *at);
    if (X509_verify_cert(context.get()) != 1)
        return codeForVerifyError(X509_STORE_CTX_get_error(context.get()));
    chain.reset(X509_STORE_CTX_get1_chain(context.get()));
    if (!chain)
        return wintrust::kFail;
    const int length = sk_X509_num(chain.get());
    for (int i = 0; i < length; ++i) {
        if (!isStrongEnough(sk_X509_value(chain.get(), i), i == length - 1))
            return wintrust::kCertificateSignature;
    }
    for (int i = 0; i < length; ++i) {
        if (!allowsUse(sk_X509_value(chain.get(), i), use, i == 0))
            return wintrust::kWrongUsage;
    }
    return wintrust::kSuccess;
}

std::optional<QByteArray> RevocationChecker::crlBytes(const QString& url) {
    for (const auto& [cachedUrl, bytes] : cache_) {
        if (cachedUrl == url)
            return bytes;
    }
    cache_.emplace_back(url, fetch_(url));
    return cache_.back().second;
}

quint32 RevocationChecker::check(STACK_OF(X509) * chain) {
    // From the top down, so that a revoked authority is reported as such.
    for (int i = sk_X509_num(chain) - 2; i >= 0; --i) {
        X509* certificate = sk_X509_value(chain, i);
        X509* issuer = sk_X509_value(chain, i + 1);
        const QStringList urls = httpDistributionPoints(certificate);
        if (urls.isEmpty())
            return wintrust::kNoRevocationCheck;
        bool covered = false;
        for (const QString& url : urls) {
            const std::optional<QByteArray> bytes = crlBytes(url);
            if (!bytes)
                continue;
            const X509CrlPtr crl = parseCrl(*bytes);
            if (!crl || !isCurrentCrlFor(crl.get(), certificate, issuer) ||
                !isCompleteFor(crl.get(), certificate, url))
                continue;
            X509_REVOKED* entry = nullptr;
            if (X509_CRL_get0_by_cert(crl.get(), &entry, certificate) == 1)
                return wintrust::kRevoked;
            covered = true;
            break;
        }
        if (!covered)
            return wintrust::kRevocationOffline;
    }
    return wintrust::kSuccess;
}

#include "certificate_chain.h"

#include "crl_fetch.h"
#include "wintrust_codes.h"

#include <QString>
#include <QStringList>

#include <openssl/pem.h>

namespace {

constexpr char kSystemCertificateDirectory[] = "/etc/ssl/certs";

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

QStringList httpDistributionPoints(X509* certificate) {
    QStringList urls;
    const DistPointsPtr points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr)));
    if (!points)
        return urls;
    for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        if (point->distpoint == nullptr || point->distpoint->type != 0)
            continue; // only full names carry a URL
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
            if (name->type != GEN_URI)
                continue;
            const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
            const QString url = QString::fromLatin1(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)), ASN1_STRING_length(uri));
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
    for (int i = 0; i < sk_X509_num(chain.get()); ++i) {
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
    cache_.emplace_back(url, fetchCrl(url));
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
            if (!crl || !isCurrentCrlFor(crl.get(), certificate, issuer))
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

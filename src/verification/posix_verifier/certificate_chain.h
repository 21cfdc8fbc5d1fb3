#pragma once

#include "crl_fetch.h"
#include "openssl_handles.h"

#include <QByteArray>
#include <QtGlobal>

#include <ctime>
#include <functional>
#include <optional>
#include <vector>

// The trusted roots: the certificates of a PEM bundle, or the system's store when it is empty.
X509StorePtr makeTrustStore(const QByteArray& trustAnchorsPem);

enum class CertificateUse { CodeSigning, TimeStamping };

// Whether the certificate's extended key usage has Lifetime Signing (1.3.6.1.4.1.311.10.3.13):
// a signature by it is valid only while the certificate is, whatever a timestamp says.
bool hasLifetimeSigningUsage(X509* certificate);

// Builds and checks the chain from a signer's certificate to a trusted root, using the
// certificates that came with the signature, at the given time (nullopt: now), and requires the
// use in the extended key usage, and keys and certificate signatures of sufficient strength (RSA
// and DSA keys of 2048 bits or more, EC keys of 256 bits or more, no MD2/MD4/MD5). Fills chain
// (signer first, root last) on success. Returns 0 or the WinTrust code for the fault.
quint32 verifyCertificateChain(X509_STORE* store, X509* signer, STACK_OF(X509) * untrusted,
                               std::optional<time_t> at, CertificateUse use, X509StackPtr& chain);

// Revocation over a whole chain: every certificate below the root must be covered by a current,
// correctly signed, complete CRL (no delta CRL, no partition that leaves the certificate out, no
// unknown critical extension) from its distribution point. Lists already fetched during this check
// are kept in cache by URL. Returns 0, CERT_E_REVOKED, CRYPT_E_REVOCATION_OFFLINE or
// CRYPT_E_NO_REVOCATION_CHECK.
class RevocationChecker {
public:
    using Fetch = std::function<std::optional<QByteArray>(const QString& url)>;
    // fetch downloads one CRL; the verifier's is fetchCrl, the CRL fuzz target answers itself.
    explicit RevocationChecker(Fetch fetch = fetchCrl) : fetch_(std::move(fetch)) {}

    quint32 check(STACK_OF(X509) * chain);

private:
    std::optional<QByteArray> crlBytes(const QString& url);
    Fetch fetch_;
    std::vector<std::pair<QString, std::optional<QByteArray>>> cache_;
};

#pragma once

#include "openssl_handles.h"

#include <QByteArray>
#include <QtGlobal>

#include <ctime>
#include <optional>
#include <vector>

// The trusted roots: the certificates of a PEM bundle, or the system's store when it is empty.
X509StorePtr makeTrustStore(const QByteArray& trustAnchorsPem);

enum class CertificateUse { CodeSigning, TimeStamping };

// Builds and checks the chain from a signer's certificate to a trusted root, using the
// certificates that came with the signature, at the given time (nullopt: now), and requires the
// use in the extended key usage. Fills chain (signer first, root last) on success. Returns 0 or
// the WinTrust code for the fault.
quint32 verifyCertificateChain(X509_STORE* store, X509* signer, STACK_OF(X509) * untrusted,
                               std::optional<time_t> at, CertificateUse use, X509StackPtr& chain);

// Revocation over a whole chain: every certificate below the root must be covered by a current,
// correctly signed CRL from its distribution point. Lists already fetched during this check are
// kept in cache by URL. Returns 0, CERT_E_REVOKED, CRYPT_E_REVOCATION_OFFLINE or
// CRYPT_E_NO_REVOCATION_CHECK.
class RevocationChecker {
public:
    quint32 check(STACK_OF(X509) * chain);

private:
    std::optional<QByteArray> crlBytes(const QString& url);
    std::vector<std::pair<QString, std::optional<QByteArray>>> cache_;
};

#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// What one Authenticode trust check of a file gives, as one value: WinVerifyTrust with the
// generic verification action and whole-chain revocation checking on Windows, the OpenSSL
// verifier (posix_verifier/) elsewhere, with the same codes for the same causes.

// How far the first signer of a trusted file could be read.
enum class SignerAccess { NoProviderData, NoSigner, NoCertificate, Available };

struct TrustVerdict {
    // 0 when the file's signature is trusted, chain and whole-chain revocation included;
    // otherwise the WinTrust failure code.
    quint32 code = 0;
    // When code is 0: what could be read of the first signer's own certificate.
    SignerAccess signer = SignerAccess::NoProviderData;
    QByteArray certificateDer;      // when Available
    QByteArray publicKeyInfoDer;    // its DER SubjectPublicKeyInfo; empty when it cannot be had
    std::optional<QString> subject; // its simple display names; nullopt when the name call failed
    std::optional<QString> issuer;
    // What releasing the check's state gave: 0 or a failure code (POSIX keeps no state: 0).
    quint32 releaseCode = 0;
};

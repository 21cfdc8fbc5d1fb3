// Authenticode verification of the installer with the pinned publisher certificate: the order of
// the checks, the log lines and the verdict. The trust check itself is the platform's
// (AuthenticodeTrust).

#include "authenticode_trust.h"
#include "hex_text.h"
#include "updater.h"
#include "updater_config.h"

#include <QCryptographicHash>

namespace {

// SHA-256 thumbprint of the publisher's own code-signing certificate, fixed when the program is
// built (64 hexadecimal digits; anything else refuses every installer).
constexpr const char kExpectedCertificateThumbprint[] = UPDATER_PUBLISHER_THUMBPRINT;

bool isWellFormedThumbprint(const char* thumbprint) {
    return isHexText(QLatin1StringView(thumbprint), 64);
}

QString hexCode(quint32 code, int width) {
    return QStringLiteral("%1").arg(code, width, 16, QLatin1Char('0'));
}

} // namespace

bool verifyAuthenticodeWithPin(Updater& updater, const QString& installerPath,
                               const char* pinnedThumbprint, AuthenticodeTrust& trust) {
    if (!isWellFormedThumbprint(pinnedThumbprint)) {
        updater.log(
            QStringLiteral("SECURITY ERROR: production certificate thumbprint is not configured."));
        return false;
    }
    updater.log(QStringLiteral("Starting strict Authenticode verification: %1").arg(installerPath));

    const quint32 result = trust.verify(installerPath);
    if (result != 0) {
        updater.log(QStringLiteral("WinVerifyTrust FAILED: 0x%1").arg(hexCode(result, 8)));
        trust.close(); // the release's own result changes nothing here
        return false;
    }
    updater.log(QStringLiteral("Windows Authenticode trust verification PASSED."));
    updater.log(QStringLiteral("Certificate revocation checking PASSED."));

    bool signerPinned = false;
    switch (trust.locateSignerCertificate()) {
    case AuthenticodeTrust::SignerAccess::NoProviderData:
        updater.log(QStringLiteral("Could not obtain Authenticode provider data."));
        break;
    case AuthenticodeTrust::SignerAccess::NoSigner:
        updater.log(QStringLiteral("Could not obtain Authenticode signer."));
        break;
    case AuthenticodeTrust::SignerAccess::NoCertificate:
        updater.log(QStringLiteral("Could not obtain signer certificate."));
        break;
    case AuthenticodeTrust::SignerAccess::Available: {
        const QString signerThumbprint =
            QString::fromLatin1(
                QCryptographicHash::hash(trust.signerCertificateDer(), QCryptographicHash::Sha256)
                    .toHex())
                .toUpper();
        const QString expectedThumbprint = QString::fromLatin1(pinnedThumbprint).toUpper();
        updater.log(
            QStringLiteral("Signer certificate SHA-256 thumbprint: %1").arg(signerThumbprint));
        if (signerThumbprint == expectedThumbprint) {
            updater.log(QStringLiteral("Certificate thumbprint PIN PASSED."));
            signerPinned = true;
        } else {
            updater.log(QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."));
            updater.log(QStringLiteral("Expected signer thumbprint: %1").arg(expectedThumbprint));
        }
        // The names are for the log only; the thumbprint alone decides.
        if (const auto subject = trust.signerName(AuthenticodeTrust::NameOf::Subject))
            updater.log(QStringLiteral("Signer certificate subject: %1").arg(*subject));
        if (const auto issuer = trust.signerName(AuthenticodeTrust::NameOf::Issuer))
            updater.log(QStringLiteral("Signer certificate issuer: %1").arg(*issuer));
        break;
    }
    }

    if (const quint32 released = trust.close(); released != 0)
        updater.log(QStringLiteral("Warning: WinVerifyTrust cleanup returned 0x%1")
                        .arg(hexCode(released, 0)));

    if (!signerPinned) {
        updater.log(
            QStringLiteral("SECURITY ERROR: installer signer is not the pinned publisher."));
        return false;
    }
    updater.log(QStringLiteral("Strict Authenticode verification PASSED."));
    updater.log(QStringLiteral("Certificate identity pinning PASSED."));
    return true;
}

bool Updater::verifyAuthenticode(const QString& installerPath) {
    const std::unique_ptr<AuthenticodeTrust> trust =
        createPlatformAuthenticodeTrust(builtInTrustAnchors());
    return verifyAuthenticodeWithPin(*this, installerPath, kExpectedCertificateThumbprint, *trust);
}

// Authenticode verification of the installer with the pinned publisher: the order of the checks,
// the log lines and the verdict. The trust check itself is the platform's (AuthenticodeTrust).

#include "authenticode_trust.h"
#include "build_settings.h"
#include "hex_text.h"
#include "installer_file.h"
#include "updater.h"

#include <QCryptographicHash>
#include <QLatin1StringView>
#include <QStringList>

#include <optional>

namespace {

struct PinSet {
    QStringList thumbprints; // upper case
    QStringList publicKeys;  // upper case

    // One certificate thumbprint and nothing else: the log reads as it always has.
    bool isSingleThumbprint() const { return thumbprints.size() == 1 && publicKeys.isEmpty(); }
};

// Every entry exactly 64 hexadecimal digits; an empty list is allowed, an empty entry is not.
std::optional<QStringList> parsePinList(const char* text) {
    const QString list = QString::fromLatin1(text);
    if (list.isEmpty())
        return QStringList();
    QStringList pins = list.split(QLatin1Char(';'));
    for (QString& pin : pins) {
        if (!isSha256Text(pin))
            return std::nullopt;
        pin = pin.toUpper();
    }
    return pins;
}

std::optional<PinSet> parsePins(const PublisherPins& pins) {
    const std::optional<QStringList> thumbprints = parsePinList(pins.certificateThumbprints);
    const std::optional<QStringList> publicKeys = parsePinList(pins.publicKeyHashes);
    if (!thumbprints || !publicKeys || (thumbprints->isEmpty() && publicKeys->isEmpty()))
        return std::nullopt;
    return PinSet{*thumbprints, *publicKeys};
}

QString sha256Upper(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())
        .toUpper();
}

QString hexCode(quint32 code, int width) {
    return QStringLiteral("%1").arg(code, width, 16, QLatin1Char('0'));
}

// Compares the signer with the pins and logs the outcome; true when a pin matches.
bool matchesPins(Updater& updater, const PinSet& pins, const TrustVerdict& trusted) {
    const QString thumbprint = sha256Upper(trusted.certificateDer);
    updater.log(QStringLiteral("Signer certificate SHA-256 thumbprint: %1").arg(thumbprint));
    if (pins.isSingleThumbprint()) {
        if (thumbprint == pins.thumbprints.first()) {
            updater.log(QStringLiteral("Certificate thumbprint PIN PASSED."));
            return true;
        }
        updater.log(QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."));
        updater.log(QStringLiteral("Expected signer thumbprint: %1").arg(pins.thumbprints.first()));
        return false;
    }

    // A pin set: a renewed certificate passes by its unchanged key, a planned new one by its own.
    const QString publicKey =
        trusted.publicKeyInfoDer.isEmpty() ? QString() : sha256Upper(trusted.publicKeyInfoDer);
    updater.log(QStringLiteral("Signer public key SHA-256: %1").arg(publicKey));
    if (pins.thumbprints.contains(thumbprint)) {
        updater.log(QStringLiteral("Certificate thumbprint PIN PASSED."));
        updater.log(QStringLiteral("Matched pinned certificate thumbprint: %1").arg(thumbprint));
        return true;
    }
    if (!publicKey.isEmpty() && pins.publicKeys.contains(publicKey)) {
        updater.log(QStringLiteral("Certificate public key PIN PASSED."));
        updater.log(QStringLiteral("Matched pinned public key: %1").arg(publicKey));
        return true;
    }
    updater.log(QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."));
    for (const QString& expected : pins.thumbprints)
        updater.log(QStringLiteral("Expected signer thumbprint: %1").arg(expected));
    for (const QString& expected : pins.publicKeys)
        updater.log(QStringLiteral("Expected signer public key: %1").arg(expected));
    return false;
}

} // namespace

bool verifyAuthenticodeWithPins(Updater& updater, const InstallerFile& installer,
                                const PublisherPins& configuredPins, AuthenticodeTrust& trust) {
    const std::optional<PinSet> pins = parsePins(configuredPins);
    if (!pins) {
        updater.log(
            QStringLiteral("SECURITY ERROR: production certificate thumbprint is not configured."));
        return false;
    }
    updater.log(
        QStringLiteral("Starting strict Authenticode verification: %1").arg(installer.path()));

    // One check, one answer: the platform has released what it held by the time it answers (a
    // failed check's release result changes nothing and is not reported).
    const TrustVerdict trusted = trust.check(installer);
    if (trusted.code != 0) {
        updater.log(QStringLiteral("WinVerifyTrust FAILED: 0x%1").arg(hexCode(trusted.code, 8)));
        return false;
    }
    updater.log(QStringLiteral("Windows Authenticode trust verification PASSED."));
    updater.log(QStringLiteral("Certificate revocation checking PASSED."));

    bool signerPinned = false;
    switch (trusted.signer) {
    case SignerAccess::NoProviderData:
        updater.log(QStringLiteral("Could not obtain Authenticode provider data."));
        break;
    case SignerAccess::NoSigner:
        updater.log(QStringLiteral("Could not obtain Authenticode signer."));
        break;
    case SignerAccess::NoCertificate:
        updater.log(QStringLiteral("Could not obtain signer certificate."));
        break;
    case SignerAccess::Available:
        signerPinned = matchesPins(updater, *pins, trusted);
        // The names are for the log only; the pins alone decide.
        if (trusted.subject)
            updater.log(QStringLiteral("Signer certificate subject: %1").arg(*trusted.subject));
        if (trusted.issuer)
            updater.log(QStringLiteral("Signer certificate issuer: %1").arg(*trusted.issuer));
        break;
    }

    if (trusted.releaseCode != 0)
        updater.log(QStringLiteral("Warning: WinVerifyTrust cleanup returned 0x%1")
                        .arg(hexCode(trusted.releaseCode, 0)));

    if (!signerPinned) {
        updater.log(
            QStringLiteral("SECURITY ERROR: installer signer is not the pinned publisher."));
        return false;
    }
    updater.log(QStringLiteral("Strict Authenticode verification PASSED."));
    updater.log(QStringLiteral("Certificate identity pinning PASSED."));
    return true;
}

bool Updater::verifyAuthenticode(const InstallerFile& installer) {
    // The publisher's pins, fixed when the program is built (build_settings.h): SHA-256
    // thumbprints of its code-signing certificates and SHA-256 hashes of their public keys, each
    // list separated by semicolons.
    const BuildSettings& settings = buildSettings();
    const std::unique_ptr<AuthenticodeTrust> trust =
        createPlatformAuthenticodeTrust(builtInTrustAnchors());
    return verifyAuthenticodeWithPins(
        *this, installer, {settings.publisherThumbprints, settings.publicKeyPins}, *trust);
}

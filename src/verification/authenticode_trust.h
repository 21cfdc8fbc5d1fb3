#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

class Updater;

// One Authenticode trust request, as WinTrust offers it: a check of the file that leaves a state,
// read access to the first signer's certificate while the state lives, then one release.
// Windows answers with WinVerifyTrust; other platforms with a verifier of their own that gives the
// same verdicts and codes.
class AuthenticodeTrust {
public:
    enum class SignerAccess { NoProviderData, NoSigner, NoCertificate, Available };
    enum class NameOf { Subject, Issuer };

    virtual ~AuthenticodeTrust() = default;

    // 0 when the file's signature is trusted, chain and whole-chain revocation included;
    // otherwise the WinTrust failure code.
    virtual quint32 verify(const QString& filePath) = 0;
    // Locates the first signer's own certificate in the state of the check.
    virtual SignerAccess locateSignerCertificate() = 0;
    // The located certificate's DER bytes.
    virtual QByteArray signerCertificateDer() = 0;
    // The located certificate's simple display name; nullopt when the name call fails.
    virtual std::optional<QString> signerName(NameOf which) = 0;
    // Releases the state of the check: 0 or a failure code.
    virtual quint32 close() = 0;
};

// The platform's trust request. trustAnchorsPem (PEM certificates) replaces the trusted roots where
// the platform has no machine-wide trust store of its own to use; empty: the system's store.
// Windows always uses its machine's store.
std::unique_ptr<AuthenticodeTrust>
createPlatformAuthenticodeTrust(const QByteArray& trustAnchorsPem);

// The trust anchors embedded into this build (empty: the system's store).
QByteArray builtInTrustAnchors();

// The whole Authenticode verification with publisher pinning, logging through the updater:
// configuration guard, trust check, thumbprint pin, names, release and verdict.
// Updater::verifyAuthenticode calls it with the pinned thumbprint built into the program.
bool verifyAuthenticodeWithPin(Updater& updater, const QString& installerPath,
                               const char* pinnedThumbprint, AuthenticodeTrust& trust);

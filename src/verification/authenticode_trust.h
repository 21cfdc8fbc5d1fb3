#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

class InstallerFile;
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
    // otherwise the WinTrust failure code. The check reads the opened file, never its path.
    virtual quint32 verify(const InstallerFile& file) = 0;
    // Locates the first signer's own certificate in the state of the check.
    virtual SignerAccess locateSignerCertificate() = 0;
    // The located certificate's DER bytes.
    virtual QByteArray signerCertificateDer() = 0;
    // The DER SubjectPublicKeyInfo of the located certificate; empty when it cannot be had.
    virtual QByteArray signerPublicKeyInfoDer() = 0;
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

// The publisher pins, as the build settings give them: SHA-256 thumbprints of the publisher's
// certificates and SHA-256 hashes of their DER SubjectPublicKeyInfo, each list separated by
// semicolons. Every entry must be 64 hexadecimal digits and the two lists together must not be
// empty; otherwise no installer passes.
struct PublisherPins {
    const char* certificateThumbprints;
    const char* publicKeyHashes;
};

// The whole Authenticode verification with publisher pinning, logging through the updater:
// configuration guard, trust check, pin, names, release and verdict.
// Updater::verifyAuthenticode calls it with the pins built into the program.
bool verifyAuthenticodeWithPins(Updater& updater, const InstallerFile& installer,
                                const PublisherPins& pins, AuthenticodeTrust& trust);

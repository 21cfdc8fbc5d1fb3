#pragma once

#include "trust_verdict.h"

#include <QByteArray>

#include <memory>

class InstallerFile;
class Updater;

// The platform's Authenticode trust check of the installer's private copy (never its path).
class AuthenticodeTrust {
public:
    virtual ~AuthenticodeTrust() = default;
    virtual TrustVerdict check(const InstallerFile& file) = 0;
};

// The platform's trust check. trustAnchorsPem (PEM certificates) replaces the trusted roots where
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

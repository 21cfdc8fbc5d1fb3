// The installer's SHA-256 and its comparison with the expected digest. This is the one place that
// computes the SHA-256 of a file; the benchmark measures it too.

#include "digest.h"
#include "installer_file.h"
#include "updater.h"

#include <QByteArray>
#include <QString>

QByteArray Updater::calculateSha256(const InstallerFile& installer) {
    // Read once from start to end in 1 MiB chunks, every byte as stored.
    Digest sha256(DigestAlgorithm::Sha256);
    if (!addRange(sha256, installer, 0, installer.size())) {
        log(QStringLiteral("File read error during SHA-256 calculation."));
        return {};
    }
    return sha256.result();
}

bool Updater::verifySha256(const InstallerFile& installer, const QString& expectedSha256) {
    const QByteArray digest = calculateSha256(installer);
    if (digest.isEmpty())
        return false;

    const QString actualSha256 = QString::fromLatin1(digest.toHex()).toLower();
    // Both prefixes are 18 characters wide, so the two digests line up in the log.
    log(QStringLiteral("Expected SHA-256: %1").arg(expectedSha256));
    log(QStringLiteral("Actual SHA-256:   %1").arg(actualSha256));
    return actualSha256 == expectedSha256;
}

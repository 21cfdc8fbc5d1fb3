// The installer's SHA-256 and its comparison with the expected digest. The digest is taken while
// the private copy is made (installer_file.h), in the same pass over the bytes; this stage reports
// and compares it.

#include "installer_file.h"
#include "updater.h"

#include <QByteArray>
#include <QString>

QByteArray Updater::calculateSha256(const InstallerFile& installer) {
    // Every byte as stored, read once in 1 MiB chunks while the copy was made.
    if (installer.sha256().isEmpty())
        log(QStringLiteral("File read error during SHA-256 calculation."));
    return installer.sha256();
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

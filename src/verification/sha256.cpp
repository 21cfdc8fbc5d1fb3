// The installer's SHA-256, streamed through one reusable 1 MiB buffer so that memory use does not
// grow with the file, and its comparison with the expected digest.

#include "updater.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QFile>
#include <QString>

namespace {

constexpr qint64 kChunkBytes = 1048576;

} // namespace

QByteArray Updater::calculateSha256(const QString& path) {
    // No text mode: every byte is hashed as stored.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log(QStringLiteral("Could not open file for SHA-256 calculation: %1").arg(path));
        return {};
    }

    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(kChunkBytes, Qt::Uninitialized);
    while (!file.atEnd()) {
        const qint64 bytesRead = file.read(chunk.data(), kChunkBytes);
        if (bytesRead <= 0) {
            log(QStringLiteral("File read error during SHA-256 calculation."));
            return {};
        }
        hash.addData(QByteArrayView(chunk.constData(), bytesRead));
    }
    return hash.result();
}

bool Updater::verifySha256(const QString& installerPath, const QString& expectedSha256) {
    const QByteArray digest = calculateSha256(installerPath);
    if (digest.isEmpty())
        return false;

    const QString actualSha256 = QString::fromLatin1(digest.toHex()).toLower();
    // Both prefixes are 18 characters wide, so the two digests line up in the log.
    log(QStringLiteral("Expected SHA-256: %1").arg(expectedSha256));
    log(QStringLiteral("Actual SHA-256:   %1").arg(actualSha256));
    return actualSha256 == expectedSha256;
}

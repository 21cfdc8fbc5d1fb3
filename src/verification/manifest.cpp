// The manifest that the host application writes beside the installer: a small JSON object that
// names the installer and states its SHA-256, a second statement of the "--sha256" argument.

#include "contract.h"
#include "hex_text.h"
#include "regular_file.h"
#include "updater.h"

#include <QByteArray>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QString>

namespace {

// Largest manifest accepted, in bytes as read in text mode (a CR LF line end counts as one).
constexpr qint64 kMaxManifestBytes = 16384;

} // namespace

bool Updater::validateManifest(const QString& manifestPath, const QString& installerPath,
                               const QString& expectedSha256) {
    // One byte more than the limit is enough to tell an oversized manifest, so a hostile file of
    // any size costs no more memory than that. A manifest that has become a FIFO or a directory
    // since the staging check cannot be opened as a regular file.
    const std::optional<QByteArray> read = readRegularFile(manifestPath, kMaxManifestBytes + 1);
    if (!read) {
        log(QStringLiteral("Could not open update manifest."));
        return false;
    }
    const QByteArray& content = *read;

    if (content.isEmpty() || content.size() > kMaxManifestBytes) {
        log(QStringLiteral("Manifest size is invalid."));
        return false;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    // A well-formed document whose top level is an array reports Qt's text for "no error".
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        log(QStringLiteral("Manifest JSON is invalid: %1").arg(parseError.errorString()));
        return false;
    }

    // A missing member, or one that is not a string, reads as empty text and fails its rule.
    const QJsonObject manifest = document.object();
    const QString installerValue = manifest.value(QLatin1String("installer")).toString().trimmed();
    const QString sha256Value =
        manifest.value(QLatin1String("sha256")).toString().trimmed().toLower();

    if (installerValue != contract::kInstallerFileName) {
        log(QStringLiteral("Manifest installer value is invalid."));
        return false;
    }
    if (QFileInfo(installerPath).fileName() != installerValue) {
        log(QStringLiteral("Manifest installer does not match actual installer."));
        return false;
    }
    if (!isSha256Text(sha256Value)) {
        log(QStringLiteral("Manifest SHA-256 is invalid."));
        return false;
    }
    if (sha256Value != expectedSha256) {
        log(QStringLiteral("SECURITY ERROR: manifest SHA-256 does not match updater argument."));
        log(QStringLiteral("Manifest SHA-256: %1").arg(sha256Value));
        log(QStringLiteral("Argument SHA-256: %1").arg(expectedSha256));
        return false;
    }
    return true;
}

// The staging layout that the host application produces: "Quindlebrookware-Update-<uuid>"
// directly under TEMP, holding "installer.exe" and "manifest.json" side by side.

#include "hex_text.h"
#include "updater.h"

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>

namespace {

const QString kStagingPrefix = QStringLiteral("Quindlebrookware-Update-");
const QString kInstallerFileName = QStringLiteral("installer.exe");
const QString kManifestFileName = QStringLiteral("manifest.json");

QString normalised(const QString& path) {
    return QDir::cleanPath(QDir::fromNativeSeparators(path));
}

QString directoryOf(const QString& path) {
    return normalised(QFileInfo(path).absolutePath());
}

bool isStagingDirectoryName(const QString& name) {
    return name.startsWith(kStagingPrefix, Qt::CaseInsensitive) &&
           isBracelessUuid(QStringView(name).mid(kStagingPrefix.size()));
}

} // namespace

bool Updater::validateStagingDirectory(const QString& installerPath, const QString& manifestPath) {
    if (QFileInfo(installerPath).isRelative() || QFileInfo(manifestPath).isRelative()) {
        log(QStringLiteral("Staging paths must be absolute."));
        return false;
    }

    const QString installerDirectory = directoryOf(installerPath);
    if (installerDirectory != directoryOf(manifestPath)) {
        log(QStringLiteral("Installer and manifest are not in the same directory."));
        return false;
    }

    // One level below TEMP. A sub-directory of a staging directory ("name/sub") or a directory
    // beside TEMP ("../name") gives more than one part; TEMP itself gives "." and fails the name
    // test below.
    const QStringList parts = QDir(normalised(QDir::tempPath()))
                                  .relativeFilePath(installerDirectory)
                                  .split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() != 1) {
        log(QStringLiteral("Installer staging directory is not directly under TEMP."));
        return false;
    }

    const QString stagingName = parts.first();
    if (!isStagingDirectoryName(stagingName)) {
        log(QStringLiteral("Staging directory name is invalid: %1").arg(stagingName));
        return false;
    }

    if (QFileInfo(installerPath).fileName() != kInstallerFileName) {
        log(QStringLiteral("Installer filename must be exactly installer.exe."));
        return false;
    }
    if (QFileInfo(manifestPath).fileName() != kManifestFileName) {
        log(QStringLiteral("Manifest filename must be exactly manifest.json."));
        return false;
    }

    const QFileInfo manifest(manifestPath);
    if (!manifest.exists() || !manifest.isFile()) {
        log(QStringLiteral("Manifest does not exist."));
        return false;
    }
    return true;
}

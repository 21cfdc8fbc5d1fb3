// The staging layout that the host application produces: "Quindlebrookware-Update-<uuid>"
// directly under TEMP, holding "installer.exe" and "manifest.json" side by side.

#include "contract.h"
#include "updater.h"

#include <QFileInfo>
#include <QString>

namespace {

QString directoryOf(const QString& path) {
    return contract::normalisedPath(QFileInfo(path).absolutePath());
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

    // One level below TEMP; TEMP itself gives "." and fails the name test below.
    const std::optional<QString> stagingName = contract::nameDirectlyUnderTemp(installerDirectory);
    if (!stagingName) {
        log(QStringLiteral("Installer staging directory is not directly under TEMP."));
        return false;
    }
    if (!contract::isStagingDirectoryName(*stagingName)) {
        log(QStringLiteral("Staging directory name is invalid: %1").arg(*stagingName));
        return false;
    }

    if (QFileInfo(installerPath).fileName() != contract::kInstallerFileName) {
        log(QStringLiteral("Installer filename must be exactly installer.exe."));
        return false;
    }
    if (QFileInfo(manifestPath).fileName() != contract::kManifestFileName) {
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

// Starting the application again after a successful installation.

#include "updater.h"

#include <QFileInfo>
#include <QProcess>
#include <QStringList>

bool Updater::restartApplication(const QString& restartPath) {
    const QFileInfo info(restartPath);
    if (!info.exists() || !info.isFile()) {
        log(QStringLiteral("Restart application does not exist: %1").arg(restartPath));
        return false;
    }

    log(QStringLiteral("Restarting application: %1").arg(restartPath));
    // Detached, without arguments, in the updater's current directory; no handle or process
    // identifier is kept, so the application outlives the updater.
    if (!QProcess::startDetached(restartPath, QStringList(), QString(), nullptr)) {
        log(QStringLiteral("QProcess::startDetached failed."));
        return false;
    }
    return true;
}

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
    // Detached and without arguments, in the application's own directory: not in the temporary
    // updater directory, which the application would otherwise hold as its working directory
    // (Windows then cannot remove it) and in which it would find nothing of its own. No handle or
    // process identifier is kept, so the application outlives the updater.
    if (!QProcess::startDetached(restartPath, QStringList(), info.absolutePath(), nullptr)) {
        log(QStringLiteral("QProcess::startDetached failed."));
        return false;
    }
    return true;
}

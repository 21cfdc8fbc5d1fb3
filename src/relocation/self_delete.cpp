// The temporary copy cannot delete the directory it runs from while it runs, so it leaves a small
// script behind that does so once it has exited.

#include "self_delete.h"

#include "contract.h"
#include "relocation_platform.h"
#include "updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace relocation {

bool scheduleDirectoryRemoval(const QString& executablePath, const LogFunction& log) {
    const QFileInfo executable(executablePath);
    if (!executable.exists()) {
        log(QStringLiteral("Self-delete skipped: file does not exist: %1").arg(executablePath));
        return true;
    }
    const QString directory = executable.absolutePath();
    if (directory.isEmpty()) {
        log(QStringLiteral("ERROR: Updater directory is empty."));
        return false;
    }
    // Only a directory that the original updater made for its copy is ever removed: run from
    // anywhere else (an application's install directory, by a mistaken "--temporary-copy"), the
    // copy leaves that directory and everything in it alone.
    if (!isTemporaryUpdaterDirectory(directory)) {
        log(QStringLiteral("WARNING: Self-delete skipped: not a temporary updater directory: %1")
                .arg(directory));
        return true;
    }

    // Directly in TEMP, never inside the directory that the script deletes; a UUID of its own.
    const QString tempPath = QDir::tempPath();
    const QString scriptPath = QDir(tempPath).filePath(
        contract::kCleanupScriptPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces) +
        platform::selfDeleteScriptSuffix());

    // Written as bytes, exactly: the script's own text already has the platform's line ends.
    QFile script(scriptPath);
    if (!script.open(QIODevice::WriteOnly)) {
        log(QStringLiteral("ERROR: Could not create self-delete script: %1").arg(scriptPath));
        return false;
    }
    const QByteArray text = platform::selfDeleteScript();
    // A buffered write that cannot reach the disk fails at the flush: that is a failed write too.
    if (script.write(text) != text.size() || !script.flush()) {
        script.close();
        log(QStringLiteral("ERROR: Could not write self-delete script."));
        QFile::remove(scriptPath);
        return false;
    }
    script.close();
    log(QStringLiteral("Self-delete script created: %1").arg(scriptPath));

    if (!platform::startSelfDelete(directory, scriptPath)) {
        log(QStringLiteral("ERROR: Could not launch self-delete script."));
        QFile::remove(scriptPath);
        return false;
    }
    log(QStringLiteral("Self-delete process launched successfully."));
    log(QStringLiteral("Temporary updater executable: %1").arg(executablePath));
    log(QStringLiteral("Temporary updater directory: %1").arg(directory));
    log(QStringLiteral("Temporary updater directory will be removed after updater exits."));
    return true;
}

} // namespace relocation

bool Updater::scheduleSelfDelete(const QString& executablePath) {
    return relocation::scheduleDirectoryRemoval(executablePath,
                                                [this](const QString& message) { log(message); });
}

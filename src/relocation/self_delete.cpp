// The temporary copy cannot delete the directory it runs from while it runs, so it leaves a small
// script behind that does so once it has exited.

#include "self_delete.h"

#include "relocation_platform.h"
#include "updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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

    // Directly in TEMP, never inside the directory that the script deletes; a UUID of its own.
    const QString tempPath = QDir::tempPath();
    const QString scriptPath =
        QDir(tempPath).filePath(QStringLiteral("Quindlebrookware-Updater-Cleanup-%1%2")
                                    .arg(QUuid::createUuid().toString(QUuid::WithoutBraces),
                                         platform::selfDeleteScriptSuffix()));

    // An unresolvable TEMP comes back empty: never write the script relative to the current
    // directory, which may be the very directory that the script deletes.
    QFile script(scriptPath);
    if (QDir::isRelativePath(scriptPath) || !script.open(QIODevice::WriteOnly | QIODevice::Text)) {
        log(QStringLiteral("ERROR: Could not create self-delete script: %1").arg(scriptPath));
        return false;
    }
    const QString nativeScriptPath = QDir::toNativeSeparators(scriptPath);
    const QByteArray text =
        platform::selfDeleteScriptText(QDir::toNativeSeparators(directory), nativeScriptPath)
            .toLocal8Bit();
    // A buffered write that cannot reach the disk fails at the flush: that is a failed write too.
    if (script.write(text) != text.size() || !script.flush()) {
        script.close();
        log(QStringLiteral("ERROR: Could not write self-delete script."));
        QFile::remove(scriptPath);
        return false;
    }
    script.close();
    log(QStringLiteral("Self-delete script created: %1").arg(scriptPath));

    if (!QProcess::startDetached(platform::selfDeleteInterpreter(),
                                 platform::selfDeleteInterpreterArguments(nativeScriptPath),
                                 tempPath)) {
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

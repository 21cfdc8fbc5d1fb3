// The original updater never works from its install location: it copies itself and the libraries
// that lie beside it into a fresh directory under TEMP and starts that copy.

#include "temporary_copy.h"

#include "build_settings.h"
#include "contract.h"
#include "held_directory.h"
#include "relocation_platform.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUuid>

namespace relocation {

bool isTemporaryUpdaterDirectory(const QString& directory) {
    const QFileInfo info(contract::normalisedPath(directory));
    return !contract::tempDirectory().isEmpty() &&
           contract::normalisedPath(info.absolutePath()) == contract::tempDirectory() &&
           contract::isUpdaterDirectoryName(info.fileName());
}

QStringList runtimeLibraries() {
    return QString::fromUtf8(buildSettings().runtimeLibraries)
        .split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

QStringList temporaryCopyArguments(const QStringList& arguments) {
    return arguments.mid(1) << contract::kTemporaryCopyFlag;
}

bool launchTemporaryCopy(const QString& executablePath, const QStringList& libraries,
                         const QStringList& arguments, const LogFunction& log) {
    if (!QFileInfo::exists(executablePath)) {
        log(QStringLiteral("ERROR: Original updater executable does not exist."));
        return false;
    }
    const QDir sourceDirectory(QFileInfo(executablePath).absolutePath());

    // A new UUID every time: two runs never share a directory.
    const QString directory = QDir(QDir::tempPath())
                                  .filePath(contract::kUpdaterDirectoryPrefix +
                                            QUuid::createUuid().toString(QUuid::WithoutBraces));
    // A TEMP that Qt cannot resolve (one that does not exist) comes back empty, which would put
    // the directory wherever this process happens to run: refused like a failed creation.
    if (QDir::isRelativePath(directory) || !QDir().mkpath(directory)) {
        log(QStringLiteral("ERROR: Could not create temporary updater directory: %1")
                .arg(directory));
        return false;
    }
    const QDir temporaryDirectory(directory);
    // Claimed from now until the copy runs (POSIX: the copy inherits the claim; Windows: its
    // working directory, this directory, holds it the same way): the sweep of another original
    // updater leaves it alone.
    OwnedHandle claim = HeldDirectory::claim(directory);
    // Removes the half-prepared directory, claim first (on Windows the claim itself keeps the
    // directory from being removed). A failed removal is not reported.
    const auto discard = [&claim](const QString& path) {
        claim.reset();
        QDir(path).removeRecursively();
    };

    const QString copiedExecutable = temporaryDirectory.filePath(platform::updaterExecutableName());
    if (!QFile::copy(executablePath, copiedExecutable)) {
        log(QStringLiteral("ERROR: Could not copy updater to temporary directory."));
        log(QStringLiteral("Source: %1").arg(executablePath));
        log(QStringLiteral("Destination: %1").arg(copiedExecutable));
        discard(directory);
        return false;
    }
    log(QStringLiteral("Temporary updater copy created: %1").arg(copiedExecutable));

    // Each library is looked at only when its turn comes, so the earlier ones are already copied
    // (and removed again with the directory) when a later one is missing.
    for (const QString& library : libraries) {
        const QString source = sourceDirectory.filePath(library);
        const QString destination = temporaryDirectory.filePath(library);
        if (!QFileInfo::exists(source)) {
            log(QStringLiteral("ERROR: Required updater DLL does not exist: %1").arg(source));
            discard(directory);
            return false;
        }
        if (!QFile::copy(source, destination)) {
            log(QStringLiteral("ERROR: Could not copy updater DLL."));
            log(QStringLiteral("Source: %1").arg(source));
            log(QStringLiteral("Destination: %1").arg(destination));
            discard(directory);
            return false;
        }
        log(QStringLiteral("Temporary updater DLL copied: %1").arg(destination));
    }

    log(QStringLiteral("Launching temporary updater copy."));
    qint64 copyProcessId = 0;
    if (!QProcess::startDetached(copiedExecutable, arguments, directory, &copyProcessId)) {
        log(QStringLiteral("ERROR: Failed to launch temporary updater copy."));
        discard(directory);
        return false;
    }
    platform::handForeground(copyProcessId);
    log(QStringLiteral("Temporary updater launched successfully."));
    return true;
}

} // namespace relocation

bool Updater::relaunchFromTemporaryCopy(const QStringList& arguments) {
    const relocation::LogFunction logLine = [this](const QString& message) { log(message); };
    relocation::removeStaleCopies(logLine);
    return relocation::launchTemporaryCopy(QCoreApplication::applicationFilePath(),
                                           relocation::runtimeLibraries(),
                                           relocation::temporaryCopyArguments(arguments), logLine);
}

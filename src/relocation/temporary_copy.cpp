// The original updater never works from its install location: it copies itself and the libraries
// that lie beside it into a fresh directory under TEMP and starts that copy.

#include "temporary_copy.h"

#include "hex_text.h"
#include "relocation_platform.h"
#include "updater.h"
#include "updater_config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUuid>

namespace relocation {

namespace {

const QString kTemporaryCopyFlag = QStringLiteral("--temporary-copy");
const QString kDirectoryPrefix = QStringLiteral("Quindlebrookware-Updater-");

// Removes a half-prepared temporary updater directory. A failed removal is not reported.
void discard(const QString& directory) {
    QDir(directory).removeRecursively();
}

} // namespace

bool isTemporaryUpdaterDirectory(const QString& directory) {
    const auto normalised = [](const QString& path) {
        return QDir::cleanPath(QDir::fromNativeSeparators(path));
    };
    const QFileInfo info(normalised(directory));
    const QString name = info.fileName();
    return !QDir::tempPath().isEmpty() &&
           normalised(info.absolutePath()) == normalised(QDir::tempPath()) &&
           name.startsWith(kDirectoryPrefix) &&
           isBracelessUuid(QStringView(name).mid(kDirectoryPrefix.size()));
}

QStringList runtimeLibraries() {
    return QString::fromUtf8(UPDATER_RUNTIME_LIBRARIES).split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

QStringList temporaryCopyArguments(const QStringList& arguments) {
    return arguments.mid(1) << kTemporaryCopyFlag;
}

bool launchTemporaryCopy(const QString& executablePath, const QStringList& libraries,
                         const QStringList& arguments, const LogFunction& log) {
    if (!QFileInfo::exists(executablePath)) {
        log(QStringLiteral("ERROR: Original updater executable does not exist."));
        return false;
    }
    const QDir sourceDirectory(QFileInfo(executablePath).absolutePath());

    // A new UUID every time: two runs never share a directory.
    const QString directory =
        QDir(QDir::tempPath())
            .filePath(kDirectoryPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces));
    // A TEMP that Qt cannot resolve (one that does not exist) comes back empty, which would put
    // the directory wherever this process happens to run: refused like a failed creation.
    if (QDir::isRelativePath(directory) || !QDir().mkpath(directory)) {
        log(QStringLiteral("ERROR: Could not create temporary updater directory: %1")
                .arg(directory));
        return false;
    }
    const QDir temporaryDirectory(directory);

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
    if (!QProcess::startDetached(copiedExecutable, arguments, directory)) {
        log(QStringLiteral("ERROR: Failed to launch temporary updater copy."));
        discard(directory);
        return false;
    }
    log(QStringLiteral("Temporary updater launched successfully."));
    return true;
}

} // namespace relocation

bool Updater::relaunchFromTemporaryCopy(const QStringList& arguments) {
    return relocation::launchTemporaryCopy(QCoreApplication::applicationFilePath(),
                                           relocation::runtimeLibraries(),
                                           relocation::temporaryCopyArguments(arguments),
                                           [this](const QString& message) { log(message); });
}

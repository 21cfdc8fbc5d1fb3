// Stages a downloaded installer the way the updater expects it and starts the updater.

#include "update_launcher.h"

#include "contract.h"
#include "host_platform.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QUuid>

namespace UpdaterHost {
namespace {

constexpr qint64 kChunkSize = 1024 * 1024;

bool isExistingFile(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

// The directory in Qt's form, cleaned, as the updater derives TEMP from QDir::tempPath().
QString tempDirectoryOf(const UpdateRequest& request) {
    const QString given =
        request.tempDirectory.isEmpty() ? QDir::tempPath() : request.tempDirectory;
    return contract::normalisedPath(QFileInfo(given).absoluteFilePath());
}

// Refuses, before anything is created, what would make the update fail later.
QString checkRequest(const UpdateRequest& request, const QString& tempDirectory) {
    if (!isExistingFile(request.installerFile))
        return QStringLiteral("Installer does not exist or is not a file: %1")
            .arg(request.installerFile);
    if (!isExistingFile(request.updaterExecutable))
        return QStringLiteral("Updater executable does not exist or is not a file: %1")
            .arg(request.updaterExecutable);
    if (request.restartApplication.isEmpty() || QFileInfo(request.restartApplication).isRelative())
        return QStringLiteral("Restart application path must be absolute: %1")
            .arg(request.restartApplication);
    if (!QFileInfo(tempDirectory).isDir())
        return QStringLiteral("TEMP directory does not exist: %1").arg(tempDirectory);
    return {};
}

// Copies source to a new file at destination in 1 MiB chunks and returns the SHA-256 of the
// bytes written, as lowercase hex; empty with error set on failure.
QString copyWithSha256(const QString& source, const QString& destination, QString& error) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Could not open installer: %1 (%2)").arg(source, in.errorString());
        return {};
    }
    QFile out(destination);
    // NewOnly: never write through a file that is already there.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        error = QStringLiteral("Could not create %1 (%2)").arg(destination, out.errorString());
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(kChunkSize);
        if (chunk.isEmpty()) {
            error =
                QStringLiteral("Could not read installer: %1 (%2)").arg(source, in.errorString());
            return {};
        }
        hash.addData(chunk);
        if (out.write(chunk) != chunk.size()) {
            error = QStringLiteral("Could not write %1 (%2)").arg(destination, out.errorString());
            return {};
        }
    }
    if (!out.flush()) {
        error = QStringLiteral("Could not write %1 (%2)").arg(destination, out.errorString());
        return {};
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool writeManifest(const QString& path, const QString& sha256, QString& error) {
    const QJsonObject manifest{{QStringLiteral("installer"), contract::kInstallerFileName},
                               {QStringLiteral("sha256"), sha256}};
    const QByteArray bytes = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        error = QStringLiteral("Could not write manifest: %1 (%2)").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Why the same installer must not be started now, after the last update's outcome; empty when it
// may. An update that can only end the same way again would otherwise loop at every start of
// the application.
QString reasonToHoldBack(const UpdateRequest& request, const QString& sha256,
                         const QString& tempDirectory) {
    const UpdateOutcome last = lastUpdateOutcome(tempDirectory);
    if (!last.recorded || last.installerSha256 != sha256)
        return {};
    if (last.exitCode == contract::kExitSha256Mismatch ||
        last.exitCode == contract::kExitSignatureRejected)
        return QStringLiteral("The updater refused this installer before (exit %1: %2); it is not "
                              "started again.")
            .arg(last.exitCode)
            .arg(last.meaning);
    const QDateTime again = last.time.addSecs(request.retryDelay.count());
    if (last.exitCode == contract::kExitInstallerFailed && !request.userRequested &&
        QDateTime::currentDateTimeUtc() < again)
        return QStringLiteral("This installer failed or its elevation was declined at %1 (exit "
                              "%2); it is started again from %3, or when the user asks.")
            .arg(last.time.toString(Qt::ISODate))
            .arg(last.exitCode)
            .arg(again.toString(Qt::ISODate));
    return {};
}

// Fills the staging directory and starts the updater; false with launch.errorMessage set when
// something fails, leaving the removal to the caller.
bool stageAndStart(const UpdateRequest& request, const QString& tempDirectory,
                   UpdateLaunch& launch) {
    launch.sha256 =
        copyWithSha256(request.installerFile, launch.installerPath, launch.errorMessage);
    if (launch.sha256.isEmpty())
        return false;
    launch.errorMessage = reasonToHoldBack(request, launch.sha256, tempDirectory);
    launch.heldBack = !launch.errorMessage.isEmpty();
    if (launch.heldBack)
        return false;
    if (!platform::makeInstallerExecutable(launch.installerPath)) {
        launch.errorMessage =
            QStringLiteral("Could not make the installer executable: %1").arg(launch.installerPath);
        return false;
    }
    if (!writeManifest(launch.manifestPath, launch.sha256, launch.errorMessage))
        return false;

    // Both paths in the platform's own form: on Windows the updater hands the installer path
    // unchanged to the shell, which wants backslashes.
    launch.updaterArguments = {
        QStringLiteral("--pid"),       QString::number(QCoreApplication::applicationPid()),
        QStringLiteral("--installer"), QDir::toNativeSeparators(launch.installerPath),
        QStringLiteral("--sha256"),    launch.sha256,
        QStringLiteral("--restart"),   QDir::toNativeSeparators(request.restartApplication),
    };
    // The updater runs from its own directory, so that it holds no directory of the host's; a
    // relative program path would then be looked up from there, so it is made absolute first.
    const QFileInfo updater(request.updaterExecutable);
    if (!QProcess::startDetached(updater.absoluteFilePath(), launch.updaterArguments,
                                 updater.absolutePath(), &launch.updaterProcessId)) {
        launch.errorMessage =
            QStringLiteral("Could not start the updater: %1").arg(request.updaterExecutable);
        return false;
    }
    // The updater's copy raises the elevation prompt once this application has closed: it may
    // only bring the prompt to the front if the foreground is handed on to it, starting here.
    platform::handForeground(launch.updaterProcessId);
    return true;
}

} // namespace

UpdateLaunch startUpdate(const UpdateRequest& request) {
    UpdateLaunch launch;
    const QString tempDirectory = tempDirectoryOf(request);
    launch.errorMessage = checkRequest(request, tempDirectory);
    if (!launch.errorMessage.isEmpty())
        return launch;

    const QDir temp(tempDirectory);
    launch.stagingDirectory = temp.filePath(contract::kStagingPrefix +
                                            QUuid::createUuid().toString(QUuid::WithoutBraces));
    launch.installerPath = QDir(launch.stagingDirectory).filePath(contract::kInstallerFileName);
    launch.manifestPath = QDir(launch.stagingDirectory).filePath(contract::kManifestFileName);
    if (!platform::createStagingDirectory(launch.stagingDirectory)) {
        launch.errorMessage =
            QStringLiteral("Could not create staging directory: %1").arg(launch.stagingDirectory);
        return launch;
    }

    launch.started = stageAndStart(request, tempDirectory, launch);
    if (!launch.started)
        QDir(launch.stagingDirectory).removeRecursively();
    return launch;
}

UpdateOutcome lastUpdateOutcome(const QString& tempDirectory) {
    // A record is a few hundred bytes; anything much larger is not one. Only a record of this
    // user counts: in a shared /tmp another account could otherwise hold an update back.
    const std::optional<contract::OutcomeRecord> record = contract::parseOutcomeRecord(
        platform::readOwnFile(QDir(tempDirectory.isEmpty() ? QDir::tempPath() : tempDirectory)
                                  .filePath(contract::kOutcomeFileName),
                              65536));
    if (!record)
        return {};
    return {true,         record->exitCode,        record->meaning,
            record->time, record->installerSha256, record->restartPath};
}

} // namespace UpdaterHost

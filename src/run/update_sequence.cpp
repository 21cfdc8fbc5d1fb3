// The spine of the updater: the role decision and the fixed order of the update stages, with the
// exit code and closing lines of each outcome.

#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

namespace {

const QString kBanner = QStringLiteral("========================================");
const QString kClosingBanner = kBanner + QStringLiteral("\n\n\n");
const QString kTemporaryCopyFlag = QStringLiteral("--temporary-copy");
const QString kManifestFileName = QStringLiteral("manifest.json");

enum ExitCode : int {
    kExitSuccess = 0,
    kExitInvalidArguments = 1,
    kExitStagingRejected = 2,
    kExitManifestRejected = 3,
    kExitInstallerUnreadable = 4,
    kExitApplicationStillRunning = 5,
    kExitSha256Mismatch = 6,
    kExitSignatureRejected = 7,
    kExitInstallerFailed = 8,
    kExitRestartFailed = 9,
    kExitRelaunchFailed = 10,
};

bool hasTemporaryCopyFlag(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && QString::fromLocal8Bit(argv[i]) == kTemporaryCopyFlag)
            return true;
    }
    return false;
}

// The staging directory is never stored: it is always the directory that holds the installer.
QString stagingDirectoryOf(const QString& installerPath) {
    return QFileInfo(installerPath).absolutePath();
}

bool isReadableFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

} // namespace

int Updater::run(int argc, char** argv) {
    if (hasTemporaryCopyFlag(argc, argv)) {
        isTemporaryCopy = true;
        return runTemporaryCopy(argc, argv);
    }
    return runOriginalUpdater(argc, argv);
}

int Updater::runOriginalUpdater(int argc, char** argv) {
    log(kBanner);
    log(QStringLiteral("Updater started."));
    log(QStringLiteral("Original updater detected."));

    if (relaunchFromTemporaryCopy(argc, argv)) {
        log(QStringLiteral("Original updater exiting."));
        log(kBanner);
        return kExitSuccess;
    }
    log(QStringLiteral("ERROR: Failed to launch temporary updater copy."));
    log(kBanner);
    return kExitRelaunchFailed;
}

int Updater::runTemporaryCopy(int argc, char** argv) {
    log(kBanner);
    log(QStringLiteral("Updater started."));
    log(QStringLiteral("Updater version: %1").arg(QCoreApplication::applicationVersion()));
    log(QStringLiteral("Running from temporary updater copy."));
    log(kBanner);

    long long targetPid = 0;
    QString installerPath;
    QString expectedSha256;
    QString restartPath;
    if (!parseArguments(argc, argv, targetPid, installerPath, expectedSha256, restartPath)) {
        log(QStringLiteral("Invalid command-line arguments."));
        return kExitInvalidArguments;
    }
    log(QStringLiteral("Arguments parsed successfully."));
    log(QStringLiteral("Target PID: %1").arg(targetPid));
    log(QStringLiteral("Installer: %1").arg(installerPath));
    log(QStringLiteral("Restart application: %1").arg(restartPath));

    const QString manifestPath =
        QDir(stagingDirectoryOf(installerPath)).filePath(kManifestFileName);

    if (!validateStagingDirectory(installerPath, manifestPath)) {
        log(QStringLiteral("SECURITY ERROR: staging directory validation failed."));
        return kExitStagingRejected;
    }
    log(QStringLiteral("Staging directory validation passed."));

    if (!validateManifest(manifestPath, installerPath, expectedSha256)) {
        log(QStringLiteral("SECURITY ERROR: update manifest validation failed."));
        return kExitManifestRejected;
    }
    log(QStringLiteral("Update manifest validation passed."));

    if (!isReadableFile(installerPath)) {
        log(QStringLiteral("Installer does not exist, is not a file, or is not readable."));
        return kExitInstallerUnreadable;
    }
    log(QStringLiteral("Installer exists and is readable."));
    log(QStringLiteral("Installer size: %1 bytes").arg(QFileInfo(installerPath).size()));

    if (!waitForApplication(targetPid)) {
        log(QStringLiteral("Application did not close successfully."));
        return kExitApplicationStillRunning;
    }
    log(QStringLiteral("Application closed successfully."));

    if (!verifySha256(installerPath, expectedSha256)) {
        log(QStringLiteral("SHA-256 verification FAILED."));
        return kExitSha256Mismatch;
    }
    log(QStringLiteral("SHA-256 verification PASSED."));

    if (!verifyAuthenticode(installerPath)) {
        log(QStringLiteral("Strict Authenticode verification FAILED."));
        return kExitSignatureRejected;
    }
    log(QStringLiteral("Strict Authenticode verification PASSED."));

    if (!runInstaller(installerPath)) {
        log(QStringLiteral("Installer failed."));
        cleanStagingArea(installerPath, manifestPath);
        log(QStringLiteral("Installation failed -> Staging area cleaned."));
        log(kClosingBanner);
        return kExitInstallerFailed;
    }
    log(QStringLiteral("Installer completed successfully."));

    if (!restartApplication(restartPath)) {
        log(QStringLiteral("Could not restart application."));
        cleanStagingArea(installerPath, manifestPath);
        log(QStringLiteral("Application restart failed -> Staging area cleaned."));
        log(kClosingBanner);
        return kExitRestartFailed;
    }

    return finishSuccessfulUpdate(installerPath, manifestPath);
}

// Removes what the host downloaded, as far as it can; each removal that finds something to
// remove reports its outcome, a missing item is passed over silently. Returns whether the staging
// directory was still there when its turn came.
bool Updater::cleanStagingArea(const QString& installerPath, const QString& manifestPath) {
    if (QFileInfo::exists(installerPath)) {
        log(QFile::remove(installerPath)
                ? QStringLiteral("Temporary installer removed.")
                : QStringLiteral("Warning: could not remove temporary installer."));
    }
    if (QFileInfo::exists(manifestPath)) {
        log(QFile::remove(manifestPath)
                ? QStringLiteral("Update manifest removed.")
                : QStringLiteral("Warning: could not remove update manifest."));
    }
    const QString stagingDirectory = stagingDirectoryOf(installerPath);
    if (!QFileInfo::exists(stagingDirectory))
        return false;
    log(QDir().rmdir(stagingDirectory)
            ? QStringLiteral("Staging directory removed.")
            : QStringLiteral("Warning: could not remove staging directory."));
    return true;
}

int Updater::finishSuccessfulUpdate(const QString& installerPath, const QString& manifestPath) {
    const QString stagingDirectory = stagingDirectoryOf(installerPath);

    log(QFile::remove(installerPath)
            ? QStringLiteral("Downloaded installer deleted.")
            : QStringLiteral("WARNING: Could not delete installer: %1").arg(installerPath));
    log(QFile::remove(manifestPath)
            ? QStringLiteral("Manifest deleted.")
            : QStringLiteral("WARNING: Could not delete manifest: %1").arg(manifestPath));
    log(QDir().rmdir(stagingDirectory)
            ? QStringLiteral("Update staging directory removed.")
            : QStringLiteral("Staging directory will be removed by cleanup process."));

    if (isTemporaryCopy) {
        log(QStringLiteral("Scheduling temporary Updater.exe for deletion."));
        if (!scheduleSelfDelete(QCoreApplication::applicationFilePath()))
            log(QStringLiteral("WARNING: Could not schedule temporary updater cleanup."));
    }

    log(QStringLiteral("Update completed successfully."));
    log(QStringLiteral("Application restarted successfully."));

    // Second pass: normally nothing is left. A staging directory that still holds something
    // (a file the host left beside the installer) is removed with all it holds.
    if (cleanStagingArea(installerPath, manifestPath)) {
        QDir(stagingDirectory).removeRecursively();
        if (isTemporaryCopy)
            scheduleSelfDelete(QCoreApplication::applicationFilePath());
    }

    log(QStringLiteral("Updater finished successfully."));
    log(kClosingBanner);
    return kExitSuccess;
}

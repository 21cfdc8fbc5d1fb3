// The spine of the updater: the role decision and the fixed order of the update stages, with the
// exit code and closing lines of each outcome.

#include "updater.h"
#include "verification/installer_file.h"

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

// Exact and case-sensitive, anywhere after the program itself.
bool hasTemporaryCopyFlag(const QStringList& arguments) {
    return arguments.indexOf(kTemporaryCopyFlag, 1) >= 1;
}

// The staging directory is never stored: it is always the directory that holds the installer.
QString stagingDirectoryOf(const QString& installerPath) {
    return QFileInfo(installerPath).absolutePath();
}

} // namespace

int Updater::run(const QStringList& arguments) {
    if (hasTemporaryCopyFlag(arguments)) {
        isTemporaryCopy = true;
        return runTemporaryCopy(arguments);
    }
    return runOriginalUpdater(arguments);
}

int Updater::runOriginalUpdater(const QStringList& arguments) {
    log(kBanner);
    log(QStringLiteral("Updater started."));
    log(QStringLiteral("Original updater detected."));

    if (relaunchFromTemporaryCopy(arguments)) {
        log(QStringLiteral("Original updater exiting."));
        log(kBanner);
        return kExitSuccess;
    }
    log(QStringLiteral("ERROR: Failed to launch temporary updater copy."));
    log(kBanner);
    return kExitRelaunchFailed;
}

int Updater::runTemporaryCopy(const QStringList& arguments) {
    log(kBanner);
    log(QStringLiteral("Updater started."));
    log(QStringLiteral("Updater version: %1").arg(QCoreApplication::applicationVersion()));
    log(QStringLiteral("Running from temporary updater copy."));
    log(kBanner);

    long long targetPid = 0;
    QString installerPath;
    QString expectedSha256;
    QString restartPath;
    if (!parseArguments(arguments, targetPid, installerPath, expectedSha256, restartPath)) {
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

    // From here on the installer is this one open file: the digest, the signature check and the
    // run all read it, never the path again, so the bytes that run are the bytes that were checked.
    std::unique_ptr<InstallerFile> installer = InstallerFile::open(installerPath);
    if (!installer) {
        log(QStringLiteral("Installer does not exist, is not a file, or is not readable."));
        return kExitInstallerUnreadable;
    }
    log(QStringLiteral("Installer exists and is readable."));
    log(QStringLiteral("Installer size: %1 bytes").arg(installer->size()));

    if (!waitForApplication(targetPid)) {
        log(QStringLiteral("Application did not close successfully."));
        return kExitApplicationStillRunning;
    }
    log(QStringLiteral("Application closed successfully."));

    if (!verifySha256(*installer, expectedSha256)) {
        log(QStringLiteral("SHA-256 verification FAILED."));
        return kExitSha256Mismatch;
    }
    log(QStringLiteral("SHA-256 verification PASSED."));

    if (!verifyAuthenticode(*installer)) {
        log(QStringLiteral("Strict Authenticode verification FAILED."));
        return kExitSignatureRejected;
    }
    log(QStringLiteral("Strict Authenticode verification PASSED."));

    const bool installed = runInstaller(*installer);
    // The installer has ended: let go of it, so that the removals below can delete the file.
    installer.reset();
    if (!installed) {
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

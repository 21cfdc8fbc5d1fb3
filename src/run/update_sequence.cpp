// The spine of the updater: the role decision and the fixed order of the update stages, with the
// exit code and closing lines of each outcome, and what every exit of the temporary copy does
// before it ends: the application back, the outcome recorded, the copy's directory scheduled for
// removal.

#include "contract.h"
#include "held_directory.h"
#include "process/process_platform.h"
#include "relocation/temporary_copy.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

// The values that travel between the stages of one temporary-copy run, filled once.
struct RunValues {
    long long targetPid = 0;
    QString installerPath;
    QString expectedSha256;
    QString restartPath;
    QString manifestPath;
    bool argumentsParsed = false;
    bool hostGone = false; // the wait for the host has seen it end
};

namespace {

const QString kBanner = QStringLiteral("========================================");
const QString kClosingBanner = kBanner + QStringLiteral("\n\n\n");

using enum contract::ExitCode;

// The exit codes in words, for the outcome record (and the README's table).
QString meaningOf(int exitCode) {
    switch (exitCode) {
    case kExitSuccess:
        return QStringLiteral("update installed, application restarted");
    case kExitInvalidArguments:
        return QStringLiteral("command line refused");
    case kExitStagingRejected:
        return QStringLiteral("staging directory refused");
    case kExitManifestRejected:
        return QStringLiteral("update manifest refused");
    case kExitInstallerUnreadable:
        return QStringLiteral("installer missing, not a file, too large or not readable");
    case kExitApplicationStillRunning:
        return QStringLiteral("the application did not exit in time, or waiting failed");
    case kExitSha256Mismatch:
        return QStringLiteral("SHA-256 of the installer does not match");
    case kExitSignatureRejected:
        return QStringLiteral("code signature, publisher pin or product binding refused");
    case kExitInstallerFailed:
        return QStringLiteral("installer failed or elevation declined; staging area cleaned");
    case kExitRestartFailed:
        return QStringLiteral("application restart failed; staging area cleaned");
    default:
        return QString();
    }
}

// The exits that install nothing and leave the application closed: it is started again.
// (5: the host is still running; 9: starting it is what failed.)
bool bringsApplicationBack(int exitCode) {
    return (exitCode >= kExitStagingRejected && exitCode <= kExitInstallerUnreadable) ||
           (exitCode >= kExitSha256Mismatch && exitCode <= kExitInstallerFailed);
}

// Exact and case-sensitive, anywhere after the program itself.
bool hasTemporaryCopyFlag(const QStringList& arguments) {
    return arguments.indexOf(contract::kTemporaryCopyFlag, 1) >= 1;
}

// The staging directory is never stored: it is always the directory that holds the installer.
QString stagingDirectoryOf(const QString& installerPath) {
    return QFileInfo(installerPath).absolutePath();
}

// Why the installer's private copy could not be made, in one line.
QString installerRefusal(const InstallerFile::Opened& opened) {
    const auto systemText = [&] {
        return process_control::systemProcessPlatform().errorMessage(opened.error);
    };
    switch (opened.refusal) {
    case InstallerFile::Refusal::CannotOpen:
        return QStringLiteral("Installer could not be opened: %1").arg(systemText());
    case InstallerFile::Refusal::NotRegularFile:
        return QStringLiteral("Installer is not a regular file.");
    case InstallerFile::Refusal::TooLarge:
        return QStringLiteral("Installer is larger than this updater accepts: %1 bytes (the "
                              "limit is %2 bytes).")
            .arg(opened.size)
            .arg(opened.limit);
    case InstallerFile::Refusal::NoRoom:
        return QStringLiteral("Installer is larger than the room for its private copy: %1 bytes "
                              "(%2 bytes available).")
            .arg(opened.size)
            .arg(opened.limit);
    case InstallerFile::Refusal::CopyFailed:
        return QStringLiteral("Installer could not be copied: %1").arg(systemText());
    case InstallerFile::Refusal::None:
        break;
    }
    return QString();
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

    RunValues run;
    if (!parseArguments(arguments, run.targetPid, run.installerPath, run.expectedSha256,
                        run.restartPath)) {
        log(QStringLiteral("Invalid command-line arguments."));
        return endFailedRun(kExitInvalidArguments, run);
    }
    run.argumentsParsed = true;
    log(QStringLiteral("Arguments parsed successfully."));
    log(QStringLiteral("Target PID: %1").arg(run.targetPid));
    log(QStringLiteral("Installer: %1").arg(run.installerPath));
    log(QStringLiteral("Restart application: %1").arg(run.restartPath));

    run.manifestPath =
        QDir(stagingDirectoryOf(run.installerPath)).filePath(contract::kManifestFileName);

    if (!validateStagingDirectory(run.installerPath, run.manifestPath)) {
        log(QStringLiteral("SECURITY ERROR: staging directory validation failed."));
        return endFailedRun(kExitStagingRejected, run);
    }
    // Held from here on: the cleanup removes what is in this directory, never what a link put in
    // its place leads to.
    const std::unique_ptr<HeldDirectory> staging =
        HeldDirectory::open(stagingDirectoryOf(run.installerPath));
    if (!staging) {
        log(QStringLiteral("Staging directory is a link or not a directory: %1")
                .arg(stagingDirectoryOf(run.installerPath)));
        log(QStringLiteral("SECURITY ERROR: staging directory validation failed."));
        return endFailedRun(kExitStagingRejected, run);
    }
    log(QStringLiteral("Staging directory validation passed."));

    if (!validateManifest(run.manifestPath, run.installerPath, run.expectedSha256)) {
        log(QStringLiteral("SECURITY ERROR: update manifest validation failed."));
        return endFailedRun(kExitManifestRejected, run);
    }
    log(QStringLiteral("Update manifest validation passed."));

    // From here on the installer is its private copy, made now: the digest, the signature check
    // and the run all read the copy, never the path again, so the bytes that run are the bytes
    // that were checked.
    InstallerFile::Opened opened = InstallerFile::open(run.installerPath);
    if (!opened.file) {
        log(installerRefusal(opened));
        log(QStringLiteral("Installer does not exist, is not a file, or is not readable."));
        return endFailedRun(kExitInstallerUnreadable, run);
    }
    std::unique_ptr<InstallerFile> installer = std::move(opened.file);
    log(QStringLiteral("Installer exists and is readable."));
    log(QStringLiteral("Installer size: %1 bytes").arg(installer->size()));

    if (!waitForApplication(run.targetPid)) {
        log(QStringLiteral("Application did not close successfully."));
        return endFailedRun(kExitApplicationStillRunning, run);
    }
    run.hostGone = true;
    log(QStringLiteral("Application closed successfully."));

    if (!verifySha256(*installer, run.expectedSha256)) {
        log(QStringLiteral("SHA-256 verification FAILED."));
        return endFailedRun(kExitSha256Mismatch, run);
    }
    log(QStringLiteral("SHA-256 verification PASSED."));

    if (!verifyAuthenticode(*installer)) {
        log(QStringLiteral("Strict Authenticode verification FAILED."));
        return endFailedRun(kExitSignatureRejected, run);
    }
    log(QStringLiteral("Strict Authenticode verification PASSED."));

    if (!verifyProductBinding(*installer)) {
        log(QStringLiteral("Product binding verification FAILED."));
        return endFailedRun(kExitSignatureRejected, run);
    }

    bool computerRestarting = false;
    const bool installed = runInstaller(*installer, computerRestarting);
    // The installer has ended: its private copy goes.
    installer.reset();
    if (!installed) {
        log(QStringLiteral("Installer failed."));
        cleanStagingArea(*staging);
        log(QStringLiteral("Installation failed -> Staging area cleaned."));
        return endFailedRun(kExitInstallerFailed, run);
    }
    log(QStringLiteral("Installer completed successfully."));

    // Recorded before the application starts, so that it finds this update's outcome.
    recordOutcome(kExitSuccess, run, computerRestarting);
    if (computerRestarting) {
        log(QStringLiteral("Application not restarted: the installer has started a restart of "
                           "the computer."));
    } else if (!restartApplication(run.restartPath)) {
        log(QStringLiteral("Could not restart application."));
        cleanStagingArea(*staging);
        log(QStringLiteral("Application restart failed -> Staging area cleaned."));
        return endFailedRun(kExitRestartFailed, run);
    }

    return finishSuccessfulUpdate(*staging, run, computerRestarting);
}

// Removes what the host downloaded, as far as it can; each removal that finds something to
// remove reports its outcome, a missing item is passed over silently. Returns whether the staging
// directory was still there when its turn came.
bool Updater::cleanStagingArea(HeldDirectory& staging) {
    if (staging.contains(contract::kInstallerFileName)) {
        log(staging.removeFile(contract::kInstallerFileName)
                ? QStringLiteral("Temporary installer removed.")
                : QStringLiteral("Warning: could not remove temporary installer."));
    }
    if (staging.contains(contract::kManifestFileName)) {
        log(staging.removeFile(contract::kManifestFileName)
                ? QStringLiteral("Update manifest removed.")
                : QStringLiteral("Warning: could not remove update manifest."));
    }
    if (!staging.pathExists())
        return false;
    log(staging.removeIfEmpty() ? QStringLiteral("Staging directory removed.")
                                : QStringLiteral("Warning: could not remove staging directory."));
    return true;
}

int Updater::finishSuccessfulUpdate(HeldDirectory& staging, const RunValues& run,
                                    bool computerRestarting) {
    log(staging.removeFile(contract::kInstallerFileName)
            ? QStringLiteral("Downloaded installer deleted.")
            : QStringLiteral("WARNING: Could not delete installer: %1").arg(run.installerPath));
    log(staging.removeFile(contract::kManifestFileName)
            ? QStringLiteral("Manifest deleted.")
            : QStringLiteral("WARNING: Could not delete manifest: %1").arg(run.manifestPath));
    log(staging.removeIfEmpty()
            ? QStringLiteral("Update staging directory removed.")
            : QStringLiteral("Staging directory will be removed by cleanup process."));

    scheduleOwnRemoval();

    log(QStringLiteral("Update completed successfully."));
    if (!computerRestarting)
        log(QStringLiteral("Application restarted successfully."));

    // Second pass: normally nothing is left. A staging directory that still holds something
    // (a file the host left beside the installer) is removed with all it holds, never through a
    // link.
    if (cleanStagingArea(staging)) {
        staging.removeRecursively();
        if (isTemporaryCopy)
            scheduleSelfDelete(QCoreApplication::applicationFilePath());
    }

    log(QStringLiteral("Updater finished successfully."));
    log(kClosingBanner);
    return kExitSuccess;
}

// Every exit of the temporary copy but a success ends here, after its verdict line: the
// application comes back where the update left it closed (exits 2 to 4 first wait for the host,
// within the same limit, since they come before the wait), the outcome is recorded, the copy's
// directory is scheduled for removal, and a run that reached the installer closes its block.
int Updater::endFailedRun(int exitCode, RunValues& run) {
    const bool comesBack = run.argumentsParsed && bringsApplicationBack(exitCode);
    if (comesBack && !run.hostGone)
        run.hostGone = waitForApplication(run.targetPid);
    recordOutcome(exitCode, run);
    if (comesBack && run.hostGone)
        restartApplication(run.restartPath);
    // A command line refused outright may come from anyone who typed "--temporary-copy": only a
    // copy that runs from a temporary updater directory removes it.
    if (exitCode != kExitInvalidArguments ||
        relocation::isTemporaryUpdaterDirectory(QCoreApplication::applicationDirPath()))
        scheduleOwnRemoval();
    if (exitCode == kExitInstallerFailed || exitCode == kExitRestartFailed)
        log(kClosingBanner);
    return exitCode;
}

void Updater::scheduleOwnRemoval() {
    if (!isTemporaryCopy)
        return;
    log(QStringLiteral("Scheduling temporary Updater.exe for deletion."));
    if (!scheduleSelfDelete(QCoreApplication::applicationFilePath()))
        log(QStringLiteral("WARNING: Could not schedule temporary updater cleanup."));
}

void Updater::recordOutcome(int exitCode, const RunValues& run, bool computerRestarting) {
    const QString path = QDir(QDir::tempPath()).filePath(contract::kOutcomeFileName);
    contract::OutcomeRecord record;
    record.exitCode = exitCode;
    record.meaning = computerRestarting ? QStringLiteral("update installed; the installer has "
                                                         "started a restart of the computer")
                                        : meaningOf(exitCode);
    record.time = QDateTime::currentDateTimeUtc();
    if (run.argumentsParsed) {
        record.installerSha256 = run.expectedSha256;
        record.restartPath = run.restartPath;
    }
    // Whole or not at all: QSaveFile writes a new file beside it and renames it into place (a
    // link in its place is replaced, never followed).
    QSaveFile file(path);
    const QByteArray json = contract::outcomeRecordJson(record);
    if (QDir::tempPath().isEmpty() || !file.open(QIODevice::WriteOnly) ||
        file.write(json) != json.size() || !file.commit())
        log(QStringLiteral("WARNING: Could not record the update outcome: %1").arg(path));
}

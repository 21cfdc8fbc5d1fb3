// Running the verified installer with administrator rights and judging it by its exit code.

#include "build_settings.h"
#include "process_control.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QStringList>

namespace process_control {

QList<unsigned long> installerSuccessCodes() {
    // Checked when the build is configured: decimal numbers of 32 bits, at least one.
    QList<unsigned long> codes;
    for (const QString& code : QString::fromLatin1(buildSettings().installerSuccessCodes)
                                   .split(QLatin1Char(';'), Qt::SkipEmptyParts))
        codes << code.toULong();
    return codes;
}

InstallerRun runElevatedInstaller(Updater& updater, const ProcessPlatform& platform,
                                  const InstallerFile& installer,
                                  const QList<unsigned long>& successCodes) {
    updater.log(QStringLiteral("Starting installer with UAC elevation: %1").arg(installer.path()));

    StartResult started = platform.startElevated(installer);
    if (started.status == StartStatus::Cancelled) {
        updater.log(QStringLiteral("User cancelled UAC elevation."));
        return {};
    }
    if (started.status != StartStatus::Started) {
        // Windows names ShellExecuteExW here; POSIX the step of its start that failed.
        updater.log(QStringLiteral("%1 failed: %2")
                        .arg(started.failedCall, platform.errorMessage(started.error)));
        return {};
    }
    updater.log(QStringLiteral("Installer process launched successfully."));
    if (!started.process) {
        updater.log(QStringLiteral("Installer process handle is null."));
        return {};
    }

    // From here the process object owns the handle and releases it on every way out; nothing
    // here ends or signals the installer.
    updater.log(QStringLiteral("Waiting for installer to finish..."));
    const WaitResult waited = started.process->waitWithoutLimit();
    if (waited.status != WaitStatus::Ended) {
        updater.log(
            QStringLiteral("WaitForSingleObject failed. Result: %1, Windows error: %2")
                .arg(QString::number(kWaitFailedResult), platform.errorMessage(waited.error)));
        return {};
    }

    const ExitStatus exit = started.process->exitStatus();
    if (!exit.known) {
        updater.log(
            QStringLiteral("GetExitCodeProcess failed: %1").arg(platform.errorMessage(exit.error)));
        return {};
    }
    updater.log(QStringLiteral("Installer exit code: %1").arg(exit.code));
    if (!successCodes.contains(exit.code)) {
        updater.log(QStringLiteral("Installer returned a non-zero exit code."));
        return {InstallerOutcome::Failed, exit.code};
    }
    // A publisher whose installers report "success, restart needed" (3010, 1641) lists those
    // codes; the log names every success that is not a plain 0.
    if (exit.code != 0)
        updater.log(QStringLiteral("Installer exit code %1 counts as success in this build.")
                        .arg(exit.code));
    return {InstallerOutcome::Succeeded, exit.code};
}

} // namespace process_control

bool Updater::runInstaller(const InstallerFile& installer, bool& computerRestarting) {
    const process_control::InstallerRun run =
        process_control::runElevatedInstaller(*this, process_control::systemProcessPlatform(),
                                              installer, process_control::installerSuccessCodes());
    computerRestarting = run.outcome == process_control::InstallerOutcome::Succeeded &&
                         run.exitCode == process_control::kRebootInitiated;
    return run.outcome == process_control::InstallerOutcome::Succeeded;
}

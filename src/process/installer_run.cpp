// Running the verified installer with administrator rights and judging it by its exit code.

#include "process_control.h"
#include "updater.h"
#include "verification/installer_file.h"

namespace process_control {

bool runElevatedInstaller(Updater& updater, const ProcessPlatform& platform,
                          const InstallerFile& installer) {
    updater.log(QStringLiteral("Starting installer with UAC elevation: %1").arg(installer.path()));

    StartResult started = platform.startElevated(installer);
    if (started.status == StartStatus::Cancelled) {
        updater.log(QStringLiteral("User cancelled UAC elevation."));
        return false;
    }
    if (started.status != StartStatus::Started) {
        updater.log(
            QStringLiteral("ShellExecuteExW failed: %1").arg(platform.errorMessage(started.error)));
        return false;
    }
    updater.log(QStringLiteral("Installer process launched successfully."));
    if (!started.process) {
        updater.log(QStringLiteral("Installer process handle is null."));
        return false;
    }

    // From here the process object owns the handle and releases it on every way out; nothing
    // here ends or signals the installer.
    updater.log(QStringLiteral("Waiting for installer to finish..."));
    const WaitResult waited = started.process->wait(kWaitForever);
    if (waited.status != WaitStatus::Ended) {
        updater.log(
            QStringLiteral("WaitForSingleObject failed. Result: %1, Windows error: %2")
                .arg(QString::number(waited.rawResult), platform.errorMessage(waited.error)));
        return false;
    }

    unsigned long exitCode = 1;
    ErrorCode error = 0;
    if (!started.process->exitCode(exitCode, error)) {
        updater.log(
            QStringLiteral("GetExitCodeProcess failed: %1").arg(platform.errorMessage(error)));
        return false;
    }
    updater.log(QStringLiteral("Installer exit code: %1").arg(exitCode));
    if (exitCode != 0) {
        updater.log(QStringLiteral("Installer returned a non-zero exit code."));
        return false;
    }
    return true;
}

} // namespace process_control

bool Updater::runInstaller(const InstallerFile& installer) {
    return process_control::runElevatedInstaller(*this, process_control::systemProcessPlatform(),
                                                 installer);
}

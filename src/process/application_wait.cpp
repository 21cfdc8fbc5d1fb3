// Waiting for the host application to end before its files are replaced.

#include "process_control.h"
#include "updater.h"

namespace process_control {

bool waitForProcessExit(Updater& updater, const ProcessPlatform& platform, long long processId,
                        unsigned long limitMs) {
    updater.log(QStringLiteral("Waiting for application process %1 to exit...").arg(processId));

    OpenResult opened = platform.openProcess(processId);
    if (opened.status == OpenStatus::NoSuchProcess) {
        updater.log(QStringLiteral("Target process no longer exists. Continuing."));
        return true;
    }
    if (opened.status != OpenStatus::Opened || !opened.process) {
        updater.log(
            QStringLiteral("OpenProcess failed: %1").arg(platform.errorMessage(opened.error)));
        return false;
    }

    // One wait, no retry: the application is never asked to close and is left running on
    // time-out. The process object releases its handle on every path out of this scope.
    const WaitResult waited = opened.process->wait(limitMs);
    switch (waited.status) {
    case WaitStatus::Ended:
        updater.log(QStringLiteral("Target application exited."));
        return true;
    case WaitStatus::TimedOut:
        updater.log(QStringLiteral("Timed out waiting for application after %1 seconds.")
                        .arg(limitMs / 1000));
        return false;
    case WaitStatus::Failed:
        break;
    }
    updater.log(QStringLiteral("WaitForSingleObject failed. Result: %1, Windows error: %2")
                    .arg(QString::number(kWaitFailedResult), platform.errorMessage(waited.error)));
    return false;
}

} // namespace process_control

bool Updater::waitForApplication(long long targetPid) {
    return process_control::waitForProcessExit(*this, process_control::systemProcessPlatform(),
                                               targetPid, process_control::kApplicationWaitLimitMs);
}

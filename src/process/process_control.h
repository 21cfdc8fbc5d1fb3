#pragma once

// The process-control operations behind Updater::waitForApplication and Updater::runInstaller,
// written once against ProcessPlatform. Updater calls them with the system platform and the
// product's fixed limit and success codes; the tests call them with a short limit or a scripted
// platform.

#include "process_platform.h"

#include <QList>
#include <QString>

class InstallerFile;
class Updater;

namespace process_control {

// How long the updater waits for the host application to end. Fixed when the program is built.
inline constexpr unsigned long kApplicationWaitLimitMs = 120000;

// The result that a failed wait shows in its failure line: the value of Win32 WAIT_FAILED.
inline constexpr unsigned long kWaitFailedResult = 0xFFFFFFFFUL;

// Windows Installer's "success, and the installer has started a restart of the computer"
// (ERROR_SUCCESS_REBOOT_INITIATED): the application comes back with the computer.
inline constexpr unsigned long kRebootInitiated = 1641;

// Waits once, for at most limitMs, until the process has ended; true also when it no longer
// exists. The time-out line states the limit in whole seconds (limitMs / 1000, rounded down).
bool waitForProcessExit(Updater& updater, const ProcessPlatform& platform, long long processId,
                        unsigned long limitMs);

enum class InstallerOutcome { Failed, Succeeded };

struct InstallerRun {
    InstallerOutcome outcome = InstallerOutcome::Failed;
    unsigned long exitCode = 1; // when it ran to its end
};

// Starts the installer elevated, waits for it without limit and accepts only the success codes
// (the build's UPDATER_INSTALLER_SUCCESS_CODES; "0" unless a publisher says otherwise).
InstallerRun runElevatedInstaller(Updater& updater, const ProcessPlatform& platform,
                                  const InstallerFile& installer,
                                  const QList<unsigned long>& successCodes);

// The build's success codes.
QList<unsigned long> installerSuccessCodes();

} // namespace process_control

#pragma once

// The process-control operations behind Updater::waitForApplication and Updater::runInstaller,
// written once against ProcessPlatform. Updater calls them with the system platform and the
// product's fixed limit; the tests call them with a short limit or a scripted platform.

#include "process_platform.h"

#include <QString>

class InstallerFile;
class Updater;

namespace process_control {

// How long the updater waits for the host application to end. Fixed when the program is built.
inline constexpr unsigned long kApplicationWaitLimitMs = 120000;

// Waits once, for at most limitMs, until the process has ended; true also when it no longer
// exists. The time-out line states the limit in whole seconds (limitMs / 1000, rounded down).
bool waitForProcessExit(Updater& updater, const ProcessPlatform& platform, long long processId,
                        unsigned long limitMs);

// Starts the installer elevated, waits for it without limit and accepts only exit code 0.
bool runElevatedInstaller(Updater& updater, const ProcessPlatform& platform,
                          const InstallerFile& installer);

} // namespace process_control

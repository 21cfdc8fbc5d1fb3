// Prints how long the process operations take on this machine: the delay between a process's
// end and the wait noticing it, and a whole installer run of a trivial installer. Not a test:
// it asserts nothing. Run it from the build tree; it works in a private TEMP.

#include "process/process_control.h"
#include "test_environment.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kRounds = 50;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A child that exits after 20 ms; the figure is what the wait takes beyond those 20 ms (the
// fork, the two log lines and the wake-up).
double exitNoticedAfterMs() {
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::usleep(20000);
        ::_exit(0);
    }
    Updater updater;
    process_control::waitForProcessExit(updater, process_control::systemProcessPlatform(), pid,
                                        process_control::kApplicationWaitLimitMs);
    const double elapsed = static_cast<double>(clock.nsecsElapsed()) / 1e6 - 20.0;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return elapsed;
}

// From the open of the installer (the sealed copy is made then) to its end.
double installerRunMs(const QString& installer) {
    Updater updater;
    QElapsedTimer clock;
    clock.start();
    const std::unique_ptr<InstallerFile> file = InstallerFile::open(installer).file;
    bool computerRestarting = false;
    if (file)
        updater.runInstaller(*file, computerRestarting);
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ScopedTemp temp;
    if (!temp.isValid())
        return 1;
    const QString installer =
        temp.writeFile(QStringLiteral("installer.exe"), "#!/bin/sh\nexit 0\n");
    QFile::setPermissions(installer, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString script = temp.writeFile(QStringLiteral("script.exe"), "exit 0\n");
    QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    std::vector<double> noticed, direct, fallback;
    for (int round = 0; round < kRounds; ++round) {
        noticed.push_back(exitNoticedAfterMs());
        direct.push_back(installerRunMs(installer));
        fallback.push_back(installerRunMs(script));
    }
    std::printf("median of %d rounds, milliseconds\n", kRounds);
    std::printf("  wait for a 20 ms process, time beyond its 20 ms:  %.2f\n", median(noticed));
    std::printf("  installer run, interpreter line:                 %.2f\n", median(direct));
    std::printf("  installer run, shell script through /bin/sh:     %.2f\n", median(fallback));
    return 0;
}

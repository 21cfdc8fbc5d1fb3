// Prints how fast startUpdate() stages installers of a few sizes (copy, SHA-256 and manifest in
// one pass, then the detached start of a stand-in updater). Runs in a private TEMP.

#include "test_environment.h"
#include "update_launcher.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <limits>

int main() {
    ScopedTemp temp;
    if (!temp.isValid())
        return 1;
    qputenv("UPDATER_HOST_TEST_RECORD",
            temp.outsidePath(QStringLiteral("record.txt")).toLocal8Bit());
    const QString installer = temp.outsidePath(QStringLiteral("setup.exe"));
    for (const qint64 mebibytes : {1, 16, 128}) {
        QFile file(installer);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        const QByteArray chunk(1024 * 1024, 'x');
        for (qint64 i = 0; i < mebibytes; ++i)
            file.write(chunk);
        file.close();

        constexpr int kRounds = 5;
        qint64 best = std::numeric_limits<qint64>::max();
        for (int round = 0; round < kRounds; ++round) {
            QElapsedTimer timer;
            timer.start();
            const UpdaterHost::UpdateLaunch launch = UpdaterHost::startUpdate(
                {installer, QStringLiteral(ARGUMENT_RECORDER),
                 temp.outsidePath(QStringLiteral("app/Application")), QString()});
            const qint64 elapsed = timer.nsecsElapsed();
            if (!launch.started) {
                std::fprintf(stderr, "%s\n", qPrintable(launch.errorMessage));
                return 1;
            }
            best = std::min(best, elapsed);
            QDir(launch.stagingDirectory).removeRecursively();
        }
        std::printf("startUpdate, %4lld MiB installer: best of %d %8.1f ms, %7.1f MiB/s\n",
                    mebibytes, kRounds, best / 1e6, mebibytes / (best / 1e9));
    }
    return 0;
}

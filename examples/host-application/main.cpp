// An application that updates itself: given "--update <installer>" (an installer it has
// downloaded), it hands the installer to the updater that ships in its own folder and exits, so
// that the updater can install the new version and start it again.

#include "update_launcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

QString updaterBesideApplication() {
#ifdef Q_OS_WIN
    const QString name = QStringLiteral("Updater.exe");
#else
    const QString name = QStringLiteral("Updater");
#endif
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption update(QStringLiteral("update"),
                                    QStringLiteral("Install this downloaded installer."),
                                    QStringLiteral("installer"));
    parser.addOption(update);
    parser.process(app);
    if (!parser.isSet(update)) {
        std::printf("host-application: running; --update <installer> installs a new version\n");
        return 0;
    }

    const UpdaterHost::UpdateLaunch launch =
        UpdaterHost::startUpdate({parser.value(update), updaterBesideApplication(),
                                  QCoreApplication::applicationFilePath(), QString()});
    if (!launch.started) {
        std::fprintf(stderr, "host-application: %s\n", qPrintable(launch.errorMessage));
        return 1;
    }
    // The updater waits for this process to end before it runs the installer.
    std::printf("host-application: updater started (process %lld), exiting\n",
                launch.updaterProcessId);
    return 0;
}

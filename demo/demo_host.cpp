// The host side of the demo: what an application does once it has downloaded an installer.
// It stages the installer for the updater, starts the updater for its own process, and exits
// (optionally after a pause, to show that the updater waits for it).

#include "update_launcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("demo-host"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Stages an installer in TEMP and starts the updater for this process."));
    parser.addHelpOption();
    const QCommandLineOption updater(QStringLiteral("updater"),
                                     QStringLiteral("The updater executable."),
                                     QStringLiteral("path"));
    const QCommandLineOption installer(QStringLiteral("installer"),
                                       QStringLiteral("The downloaded installer."),
                                       QStringLiteral("path"));
    const QCommandLineOption application(
        QStringLiteral("application"),
        QStringLiteral("The application to start again after the update."), QStringLiteral("path"));
    const QCommandLineOption linger(QStringLiteral("linger-ms"),
                                    QStringLiteral("Stay alive this long after the start."),
                                    QStringLiteral("milliseconds"), QStringLiteral("0"));
    parser.addOptions({updater, installer, application, linger});
    parser.process(app);
    if (!parser.isSet(updater) || !parser.isSet(installer) || !parser.isSet(application)) {
        std::fprintf(stderr, "demo-host: --updater, --installer and --application are required\n");
        return 2;
    }
    bool lingerOk = false;
    const unsigned long lingerMs = parser.value(linger).toULong(&lingerOk);
    if (!lingerOk) {
        std::fprintf(stderr, "demo-host: --linger-ms takes a number\n");
        return 2;
    }

    const UpdaterHost::UpdateLaunch launch = UpdaterHost::startUpdate(
        {parser.value(installer), parser.value(updater), parser.value(application), QString()});
    if (!launch.started) {
        std::fprintf(stderr, "demo-host: %s\n", qPrintable(launch.errorMessage));
        return 1;
    }
    std::printf("demo-host: process %lld staged %s\n", QCoreApplication::applicationPid(),
                qPrintable(launch.stagingDirectory));
    std::printf("demo-host: installer SHA-256 %s\n", qPrintable(launch.sha256));
    std::printf("demo-host: started updater (process %lld) with: %s\n", launch.updaterProcessId,
                qPrintable(launch.updaterArguments.join(QLatin1Char(' '))));
    std::fflush(stdout);
    if (lingerMs > 0)
        QThread::msleep(lingerMs);
    std::printf("demo-host: exiting\n");
    return 0;
}

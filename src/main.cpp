// Entry point: no window, no console output; the exit code and the update log are the results.

#include "build_settings.h"
#include "program_start.h"
#include "updater.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    prepareProgram();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quindlebrookware Updater"));
    // "1.0.0" unless the publisher builds a release with its own UPDATER_VERSION: the version of
    // the installation this updater belongs to (publishing.md).
    QCoreApplication::setApplicationVersion(QString::fromLatin1(buildSettings().version));

    // QCoreApplication takes the arguments from the platform's own command line: on Windows the
    // UTF-16 one, so a path with characters outside the ANSI code page arrives intact.
    Updater updater;
    return updater.run(QCoreApplication::arguments());
}

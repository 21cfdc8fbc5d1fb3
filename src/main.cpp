// Entry point: no window, no console output; the exit code and the update log are the results.

#include "updater.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quindlebrookware Updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    // QCoreApplication takes the arguments from the platform's own command line: on Windows the
    // UTF-16 one, so a path with characters outside the ANSI code page arrives intact.
    Updater updater;
    return updater.run(QCoreApplication::arguments());
}

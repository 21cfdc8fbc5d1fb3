// Entry point: no window, no console output; the exit code and the update log are the results.

#include "updater.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quindlebrookware Updater"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    Updater updater;
    return updater.run(argc, argv);
}

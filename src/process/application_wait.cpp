// Not built yet: this stage refuses, so that the sequence stops here with its exit code.

#include "updater.h"

bool Updater::waitForApplication(long long) {
    log(QStringLiteral("Stage not implemented in this build: waitForApplication."));
    return false;
}

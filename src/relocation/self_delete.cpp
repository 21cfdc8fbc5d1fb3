// Not built yet: this stage refuses, so that the sequence stops here with its exit code.

#include "updater.h"

bool Updater::scheduleSelfDelete(const QString&) {
    log(QStringLiteral("Stage not implemented in this build: scheduleSelfDelete."));
    return false;
}

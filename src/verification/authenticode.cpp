// Not built yet: this stage refuses, so that the sequence stops here with its exit code.

#include "updater.h"

bool Updater::verifyAuthenticode(const QString&) {
    log(QStringLiteral("Stage not implemented in this build: verifyAuthenticode."));
    return false;
}

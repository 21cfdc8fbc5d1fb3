// Windows: the user's TEMP directory is already private to the user, administrators and the
// system; the staging directory inherits that ACL, which keeps it readable for an installer that
// runs elevated under another administrator account. Any file may be started, so the installer
// copy needs nothing more.

#include "host_platform.h"

#include <QDir>

namespace UpdaterHost::platform {

bool createStagingDirectory(const QString& path) {
    // QDir::mkdir fails when the directory exists already.
    return QDir().mkdir(path);
}

bool makeInstallerExecutable(const QString&) {
    return true;
}

} // namespace UpdaterHost::platform

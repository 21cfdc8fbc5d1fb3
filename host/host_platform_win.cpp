// Windows: the user's TEMP directory is already private to the user, administrators and the
// system; the staging directory inherits that ACL, which keeps it readable for an installer that
// runs elevated under another administrator account. Any file may be started, so the installer
// copy needs nothing more.

#include "host_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <windows.h>

namespace UpdaterHost::platform {

bool createStagingDirectory(const QString& path) {
    // QDir::mkdir fails when the directory exists already.
    return QDir().mkdir(path);
}

bool makeInstallerExecutable(const QString&) {
    return true;
}

QByteArray readOwnFile(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (QFileInfo(path).isSymLink() || !file.open(QIODevice::ReadOnly))
        return {};
    return file.read(maxBytes);
}

void handForeground(qint64 processId) {
    AllowSetForegroundWindow(static_cast<DWORD>(processId));
}

} // namespace UpdaterHost::platform

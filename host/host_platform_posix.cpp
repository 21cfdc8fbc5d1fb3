// POSIX: the staging directory is private to the user (0700), and the installer copy needs the
// execute bit, since the updater starts it as a program.

#include "host_platform.h"

#include <QDir>
#include <QFile>

namespace UpdaterHost::platform {

bool createStagingDirectory(const QString& path) {
    // QDir::mkdir fails when the directory exists already, so a directory that someone else
    // planted under the same name is never adopted.
    return QDir().mkdir(path,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool makeInstallerExecutable(const QString& path) {
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
}

} // namespace UpdaterHost::platform

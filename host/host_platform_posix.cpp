// POSIX: the staging directory is private to the user (0700), and the installer copy needs the
// execute bit, since the updater starts it as a program.

#include "host_platform.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QByteArray readOwnFile(const QString& path, qint64 maxBytes) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray bytes;
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid()) {
        QFile file;
        if (file.open(fd, QIODevice::ReadOnly))
            bytes = file.read(maxBytes);
    }
    ::close(fd);
    return bytes;
}

void handForeground(qint64) {}

} // namespace UpdaterHost::platform

#include "regular_file.h"

#include "owned_handle.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes) {
    OwnedHandle fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status = {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    QFile file;
    if (!file.open(fd.release(), QIODevice::ReadOnly | QIODevice::Text,
                   QFileDevice::AutoCloseHandle))
        return std::nullopt;
    return file.read(maxBytes);
}

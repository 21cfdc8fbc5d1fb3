// POSIX: O_APPEND makes every write() go to the end of the file, atomically for the offset.

#include "log_file.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

bool appendLogLine(const QString& path, const QByteArray& utf8Line) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return false;
    ssize_t written;
    do {
        written = ::write(fd, utf8Line.constData(), static_cast<size_t>(utf8Line.size()));
    } while (written < 0 && errno == EINTR);
    ::close(fd);
    return written == utf8Line.size();
}

// POSIX: O_APPEND makes every write() go to the end of the file, atomically for the offset.

#include "log_file.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

OwnedHandle openLogFile(const QString& path) {
    // TEMP may be shared by every account of the machine (/tmp): a link or a FIFO that another
    // account put in the log's place must neither redirect nor block the updater, and a log that
    // another account owns is not ours to write into.
    OwnedHandle log(::open(
        QFile::encodeName(path).constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat status = {};
    if (log && (::fstat(log.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
                status.st_uid != ::geteuid()))
        log.reset();
    return log;
}

bool appendLogLine(const QString& path, const QByteArray& utf8Line) {
    const OwnedHandle log = openLogFile(path);
    if (!log)
        return false;
    ssize_t written;
    do {
        written = ::write(log.get(), utf8Line.constData(), static_cast<size_t>(utf8Line.size()));
    } while (written < 0 && errno == EINTR);
    return written == utf8Line.size();
}

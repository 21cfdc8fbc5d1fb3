// POSIX: the installer's bytes in a sealed memfd.

#include "installer_file.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kCopyChunkBytes = 1048576;

// The sole owner of one descriptor; release() hands it on.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

bool writeAll(int fd, const char* data, qint64 length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

// Copies what is left of source, at most `limit` bytes, through a buffer of ours.
bool copyThroughBuffer(int source, int target, qint64 limit) {
    QByteArray chunk(std::min(kCopyChunkBytes, std::max<qint64>(limit, 1)), Qt::Uninitialized);
    for (qint64 copied = 0; copied < limit;) {
        const ssize_t read = ::read(source, chunk.data(),
                                    static_cast<size_t>(std::min(kCopyChunkBytes, limit - copied)));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        if (read == 0)
            break; // the file shrank since it was opened: the copy is what there is
        if (!writeAll(target, chunk.constData(), read))
            return false;
        copied += read;
    }
    return true;
}

// Copies at most `limit` bytes (the size the file had when it was opened, so that a file that
// someone keeps growing cannot make the copy endless) from source to target. sendfile() copies
// inside the kernel, from the page cache straight into the memory file: one pass over the bytes
// instead of two through a buffer of ours. A file system that cannot do that has the rest copied
// through the buffer.
bool copyBytes(int source, int target, qint64 limit) {
    for (qint64 copied = 0; copied < limit;) {
        const ssize_t sent =
            ::sendfile(target, source, nullptr,
                       static_cast<size_t>(std::min(kCopyChunkBytes, limit - copied)));
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EINVAL || errno == ENOSYS))
            return copyThroughBuffer(source, target, limit - copied);
        if (sent < 0)
            return false;
        if (sent == 0)
            break; // the file shrank since it was opened: the copy is what there is
        copied += sent;
    }
    return true;
}

} // namespace

std::unique_ptr<InstallerFile> InstallerFile::open(const QString& path) {
    // O_NONBLOCK: a FIFO put in the installer's place must not block the open; it is refused
    // below as not a regular file.
    const Descriptor source(::open(QFile::encodeName(path).constData(),
                                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status = {};
    if (source.get() < 0 || ::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;

    Descriptor sealed(::memfd_create("installer.exe", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (sealed.get() < 0 || !copyBytes(source.get(), sealed.get(), status.st_size))
        return nullptr;
    constexpr int kSeals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
    struct stat copy = {};
    if (::fcntl(sealed.get(), F_ADD_SEALS, kSeals) != 0 || ::fstat(sealed.get(), &copy) != 0)
        return nullptr;
    return std::unique_ptr<InstallerFile>(new InstallerFile(path, sealed.release(), copy.st_size));
}

InstallerFile::~InstallerFile() {
    ::close(static_cast<int>(handle_));
}

qint64 InstallerFile::readAt(qint64 offset, char* buffer, qint64 length) const {
    for (;;) {
        const ssize_t read =
            ::pread(static_cast<int>(handle_), buffer, static_cast<size_t>(length), offset);
        if (read >= 0 || errno != EINTR)
            return read;
    }
}

// POSIX: the installer's bytes in a sealed memfd, whose room is the memory that this process may
// still take: the machine's available memory, and the headroom of every cgroup above it.

#include "installer_copy.h"
#include "installer_file.h"

#include "contract.h"
#include "held_directory.h"

#include <QFile>
#include <QString>

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U // Linux 6.3: an executable memfd, also where vm.memfd_noexec is 1
#endif

namespace {

using Opened = InstallerFile::Opened;
using Refusal = InstallerFile::Refusal;

Opened failed(Refusal refusal) {
    return {nullptr, refusal, static_cast<unsigned long>(errno), 0, 0};
}

// A number from a small text file of the kernel's; nullopt when there is none ("max").
std::optional<qint64> numberIn(const QString& path, const QByteArray& label = QByteArray()) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.startsWith(label))
            continue;
        bool ok = false;
        const qint64 value = line.mid(label.size()).trimmed().split(' ').first().toLongLong(&ok);
        if (ok)
            return value;
    }
    return std::nullopt;
}

// The memory this process may still take for the copy: /proc/meminfo's MemAvailable, and for each
// cgroup (v2) from its own up to the root, memory.max less memory.current. A memfd's pages are
// charged to the cgroup that writes them, so a copy beyond that headroom ends in the OOM killer.
qint64 availableMemory() {
    qint64 room = numberIn(QStringLiteral("/proc/meminfo"), "MemAvailable:").value_or(0) * 1024;
    if (room <= 0)
        room = static_cast<qint64>(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    QFile membership(QStringLiteral("/proc/self/cgroup"));
    QString group;
    if (membership.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : membership.readAll().split('\n')) {
            if (line.startsWith("0::"))
                group = QString::fromUtf8(line.mid(3)).trimmed();
        }
    }
    for (; group.startsWith(QLatin1Char('/'));
         group.truncate(group.lastIndexOf(QLatin1Char('/')))) {
        const QString directory = QStringLiteral("/sys/fs/cgroup") + group;
        const std::optional<qint64> maximum = numberIn(directory + QStringLiteral("/memory.max"));
        const std::optional<qint64> current =
            numberIn(directory + QStringLiteral("/memory.current"));
        if (maximum && current)
            room = std::min(room, std::max<qint64>(*maximum - *current, 0));
    }
    return room;
}

// A sealable memfd, executable where the kernel allows it: MFD_EXEC where the kernel knows the
// flag (one that does not refuses it with EINVAL, and its memfds are executable anyway), and
// where vm.memfd_noexec is 1. Where it is 2 the kernel refuses MFD_EXEC (EACCES) and makes every
// memfd non-executable: the copy is then only read, by /bin/sh for a script installer, and an
// ELF installer's start fails with the kernel's EACCES (process_platform_posix.cpp).
int makeMemoryFile() {
    const QByteArray name = contract::kInstallerFileName.toUtf8();
    const int fd = ::memfd_create(name.constData(), MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
    if (fd >= 0 || (errno != EINVAL && errno != EACCES))
        return fd;
    return ::memfd_create(name.constData(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
}

} // namespace

InstallerFile::Opened InstallerFile::open(const QString& path) {
    // O_NONBLOCK: a FIFO put in the installer's place must not block the open; it is refused
    // below as not a regular file.
    OwnedHandle source(::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!source && errno == ELOOP) // a link in the installer's place
        return {nullptr, Refusal::NotRegularFile, 0, 0, 0};
    if (!source)
        return failed(Refusal::CannotOpen);
    struct stat status = {};
    if (::fstat(source.get(), &status) != 0)
        return failed(Refusal::CannotOpen);
    if (!S_ISREG(status.st_mode))
        return {nullptr, Refusal::NotRegularFile, 0, 0, 0};
    // Checked before a single byte is copied: a sparse file of gigabytes costs nothing on disk,
    // but its copy would take that much memory.
    if (std::optional<Opened> refused =
            installer_copy::refusalForSize(status.st_size, availableMemory()))
        return std::move(*refused);

    OwnedHandle copy(makeMemoryFile());
    if (!copy)
        return failed(Refusal::CopyFailed);
    const installer_copy::CopyResult copied = installer_copy::copyWithDigests(
        [&](char* buffer, qint64 length) -> qint64 {
            ssize_t count;
            do {
                count = ::read(source.get(), buffer, static_cast<size_t>(length));
            } while (count < 0 && errno == EINTR);
            return count;
        },
        [&](const char* data, qint64 length) {
            while (length > 0) {
                const ssize_t written = ::write(copy.get(), data, static_cast<size_t>(length));
                if (written < 0 && errno == EINTR)
                    continue;
                if (written <= 0)
                    return false;
                data += written;
                length -= written;
            }
            return true;
        },
        status.st_size);
    constexpr int kSeals = F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
    struct stat sealed = {};
    if (!copied.complete || ::fcntl(copy.get(), F_ADD_SEALS, kSeals) != 0 ||
        ::fstat(copy.get(), &sealed) != 0)
        return failed(Refusal::CopyFailed);
    std::unique_ptr<InstallerFile> file(new InstallerFile(path, std::move(copy), sealed.st_size));
    file->keepDigests(copied);
    return {std::move(file)};
}

InstallerFile::~InstallerFile() = default; // the memfd goes with its last descriptor

qint64 InstallerFile::readAt(qint64 offset, char* buffer, qint64 length) const {
    for (;;) {
        const ssize_t read = ::pread(copy_.get(), buffer, static_cast<size_t>(length), offset);
        if (read >= 0 || errno != EINTR)
            return read;
    }
}

// POSIX: a directory descriptor, unlinkat() relative to it, flock() for the claims.

#include "held_directory.h"

#include <QFile>

#include <cerrno>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

OwnedHandle openDirectory(const QString& path, int extraFlags = O_CLOEXEC) {
    return OwnedHandle(::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | extraFlags));
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The names in the directory behind fd, but "." and ".."; nullopt when it cannot be read.
std::optional<QList<QByteArray>> entryNames(int fd) {
    const int listing = ::dup(fd);
    DIR* directory = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (directory == nullptr) {
        if (listing >= 0)
            ::close(listing);
        return std::nullopt;
    }
    ::rewinddir(directory);
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(directory)) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
            names << QByteArray(entry->d_name);
    }
    ::closedir(directory);
    return names;
}

// Removes what the directory behind fd holds, depth first; a link is removed as itself, never
// followed (fstatat with AT_SYMLINK_NOFOLLOW, openat with O_NOFOLLOW).
bool removeContents(int fd) {
    const std::optional<QList<QByteArray>> names = entryNames(fd);
    if (!names)
        return false;
    bool complete = true;
    for (const QByteArray& entry : *names) {
        const char* name = entry.constData();
        struct stat status = {};
        if (::fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            complete = false;
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            const OwnedHandle child(
                ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
            complete = child && removeContents(child.get()) && complete;
            complete = ::unlinkat(fd, name, AT_REMOVEDIR) == 0 && complete;
        } else {
            complete = ::unlinkat(fd, name, 0) == 0 && complete;
        }
    }
    return complete;
}

} // namespace

std::unique_ptr<HeldDirectory> HeldDirectory::open(const QString& path) {
    OwnedHandle handle = openDirectory(path);
    if (!handle)
        return nullptr;
    return std::unique_ptr<HeldDirectory>(new HeldDirectory(path, std::move(handle)));
}

std::unique_ptr<HeldDirectory> HeldDirectory::openUnclaimed(const QString& path, bool& inUse) {
    std::unique_ptr<HeldDirectory> directory = open(path);
    inUse = directory && ::flock(directory->handle_.get(), LOCK_EX | LOCK_NB) != 0 &&
            errno == EWOULDBLOCK;
    return inUse ? nullptr : std::move(directory);
}

OwnedHandle HeldDirectory::claim(const QString& path) {
    // Not close-on-exec: the temporary copy that the caller starts next inherits the descriptor,
    // and with it the lock, which lasts until the last process holding the descriptor ends.
    OwnedHandle handle = openDirectory(path, 0);
    if (handle && ::flock(handle.get(), LOCK_SH) != 0)
        handle.reset();
    return handle;
}

HeldDirectory::~HeldDirectory() = default;

QStringList HeldDirectory::entries() const {
    QStringList names;
    for (const QByteArray& name : entryNames(handle_.get()).value_or(QList<QByteArray>()))
        names << QFile::decodeName(name);
    names.sort();
    return names;
}

bool HeldDirectory::stillAtPath() const {
    struct stat held = {};
    struct stat atPath = {};
    return ::fstat(handle_.get(), &held) == 0 &&
           ::lstat(QFile::encodeName(path_).constData(), &atPath) == 0 && S_ISDIR(atPath.st_mode) &&
           sameFile(held, atPath);
}

bool HeldDirectory::contains(const QString& name) const {
    struct stat status = {};
    return stillAtPath() && ::fstatat(handle_.get(), QFile::encodeName(name).constData(), &status,
                                      AT_SYMLINK_NOFOLLOW) == 0;
}

bool HeldDirectory::removeFile(const QString& name) {
    return stillAtPath() && ::unlinkat(handle_.get(), QFile::encodeName(name).constData(), 0) == 0;
}

bool HeldDirectory::pathExists() const {
    struct stat status = {};
    return ::lstat(QFile::encodeName(path_).constData(), &status) == 0;
}

bool HeldDirectory::removeIfEmpty() {
    // A link or another directory put in its place is not ours to remove.
    return stillAtPath() && ::rmdir(QFile::encodeName(path_).constData()) == 0;
}

bool HeldDirectory::removeRecursively() {
    const bool contentsRemoved = stillAtPath() && removeContents(handle_.get());
    return removeIfEmpty() && contentsRemoved;
}

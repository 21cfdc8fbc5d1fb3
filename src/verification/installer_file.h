#pragma once

#include "byte_source.h"

#include <QString>

#include <cstdint>
#include <memory>

// The installer as the update checks and runs it: opened once, before its digest is taken, and
// held until it has run, so that the bytes that run are the bytes that were checked.
//
// - Windows: the file itself stays open, shared for reading and executing only, so that no one
//   can write, rename or delete it until the installer has ended.
// - POSIX: an open file can still be written by anyone who may write it, so its bytes are copied
//   into a sealed memory file (memfd) that nothing can change any more; that copy is what is
//   hashed, verified and started.
class InstallerFile final : public ByteSource {
public:
    // Opens the file for reading without following a link in its last component. Null when
    // nothing is there, it is not a regular file, or it cannot be read.
    static std::unique_ptr<InstallerFile> open(const QString& path);

    ~InstallerFile() override;
    InstallerFile(const InstallerFile&) = delete;
    InstallerFile& operator=(const InstallerFile&) = delete;

    // The path that the update was given, unchanged.
    const QString& path() const { return path_; }
    qint64 size() const override { return size_; }
    qint64 readAt(qint64 offset, char* buffer, qint64 length) const override;
    // The platform's handle of the held bytes: a HANDLE on Windows, a file descriptor on POSIX.
    std::intptr_t nativeHandle() const { return handle_; }

private:
    InstallerFile(const QString& path, std::intptr_t handle, qint64 size)
        : path_(path), handle_(handle), size_(size) {}

    QString path_;
    std::intptr_t handle_;
    qint64 size_;
};

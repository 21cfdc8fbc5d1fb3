#pragma once

// The parts of making the installer's private copy that both platforms share (installer_file.h).

#include "installer_file.h"
#include "pe_image.h"

#include <functional>
#include <optional>

// The Authenticode image digest (SHA-256) that the copy's pass took, for the layout it read.
struct InstallerFile::ImageDigest {
    PeLayout layout;
    QByteArray sha256;
};

namespace installer_copy {

// The build's maximum, then the room for the copy: the refusal for an installer of this size,
// or nullopt when it may be copied.
std::optional<InstallerFile::Opened> refusalForSize(qint64 size, qint64 room);

// Reads up to `length` bytes into the buffer: the count, 0 at the end, -1 on error.
using ReadFunction = std::function<qint64(char* buffer, qint64 length)>;
// Writes all the bytes; false on error.
using WriteFunction = std::function<bool(const char* data, qint64 length)>;

struct CopyResult {
    bool complete = false;
    QByteArray sha256;
    std::optional<std::pair<PeLayout, QByteArray>> imageDigest; // SHA-256, where one was taken
};

// Copies at most `limit` bytes (the size the file had when it was opened, so that a file that
// someone keeps growing cannot make the copy endless) in 1 MiB chunks, taking the SHA-256 and the
// Authenticode image digest of the bytes as they pass: every byte is read once.
CopyResult copyWithDigests(const ReadFunction& read, const WriteFunction& write, qint64 limit);

} // namespace installer_copy

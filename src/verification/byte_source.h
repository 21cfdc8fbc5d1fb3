#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

class Digest;

// Random access to bytes that are checked: the opened installer, or (in tests) bytes in memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual qint64 size() const = 0;
    // Reads up to length bytes at offset into buffer: the count read, 0 at the end, -1 on error.
    virtual qint64 readAt(qint64 offset, char* buffer, qint64 length) const = 0;
};

// Exactly length bytes at offset; nullopt when they cannot all be read.
std::optional<QByteArray> readExactly(const ByteSource& source, qint64 offset, qint64 length);

// Feeds the bytes from `from` up to `to` through the digest, one 1 MiB chunk at a time, so that
// memory use does not grow with the range; false when a read fails or ends early.
bool addRange(Digest& digest, const ByteSource& source, qint64 from, qint64 to);

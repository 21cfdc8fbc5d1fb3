#pragma once

#include "digest.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>

struct PeLayout;

// Random access to bytes that are checked: the installer's private copy, or (in tests and fuzz
// targets) bytes in memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual qint64 size() const = 0;
    // Reads up to length bytes at offset into buffer: the count read, 0 at the end, -1 on error.
    virtual qint64 readAt(qint64 offset, char* buffer, qint64 length) const = 0;
    // The Authenticode image digest of these bytes for this layout, when it was already taken
    // (while the bytes were copied); nullopt: it has to be computed.
    virtual std::optional<QByteArray> knownImageDigest(const PeLayout&, DigestAlgorithm) const {
        return std::nullopt;
    }
};

// Bytes in memory as a ByteSource.
class MemoryByteSource final : public ByteSource {
public:
    explicit MemoryByteSource(QByteArray bytes) : bytes_(std::move(bytes)) {}
    qint64 size() const override { return bytes_.size(); }
    qint64 readAt(qint64 offset, char* buffer, qint64 length) const override;

private:
    QByteArray bytes_;
};

// Exactly length bytes at offset; nullopt when they cannot all be read.
std::optional<QByteArray> readExactly(const ByteSource& source, qint64 offset, qint64 length);

// Feeds the bytes from `from` up to `to` through the digest, one 1 MiB chunk at a time, so that
// memory use does not grow with the range; false when a read fails or ends early.
bool addRange(Digest& digest, const ByteSource& source, qint64 from, qint64 to);

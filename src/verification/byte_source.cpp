#include "byte_source.h"

#include <cstring>

namespace {

constexpr qint64 kChunkBytes = 1048576;

} // namespace

qint64 MemoryByteSource::readAt(qint64 offset, char* buffer, qint64 length) const {
    if (offset < 0 || length < 0)
        return -1;
    if (offset >= bytes_.size())
        return 0;
    const qint64 count = std::min(length, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.constData() + offset, static_cast<size_t>(count));
    return count;
}

std::optional<QByteArray> readExactly(const ByteSource& source, qint64 offset, qint64 length) {
    if (offset < 0 || length < 0 || offset > source.size() || length > source.size() - offset)
        return std::nullopt;
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 done = 0; done < length;) {
        const qint64 read = source.readAt(offset + done, bytes.data() + done, length - done);
        if (read <= 0)
            return std::nullopt;
        done += read;
    }
    return bytes;
}

bool addRange(Digest& digest, const ByteSource& source, qint64 from, qint64 to) {
    QByteArray chunk(std::min(kChunkBytes, std::max<qint64>(to - from, 0)), Qt::Uninitialized);
    for (qint64 offset = from; offset < to;) {
        const qint64 read = source.readAt(offset, chunk.data(), std::min(kChunkBytes, to - offset));
        if (read <= 0 || !digest.add(chunk.constData(), read))
            return false;
        offset += read;
    }
    return true;
}

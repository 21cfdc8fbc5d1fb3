// PE layout, certificate table and Authenticode image digest over arbitrary bytes in memory.

#include "verification/pe_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

class MemoryBytes final : public ByteSource {
public:
    MemoryBytes(const uint8_t* data, size_t size) : data_(data), size_(static_cast<qint64>(size)) {}
    qint64 size() const override { return size_; }
    qint64 readAt(qint64 offset, char* buffer, qint64 length) const override {
        if (offset < 0 || length < 0 || offset > size_)
            return -1;
        const qint64 count = std::min(length, size_ - offset);
        if (count > 0)
            std::memcpy(buffer, data_ + offset, static_cast<size_t>(count));
        return count;
    }

private:
    const uint8_t* data_;
    qint64 size_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const MemoryBytes image(data, size);
    const std::optional<PeLayout> layout = parsePeLayout(image);
    if (!layout)
        return 0;
    QByteArray signature;
    findSignature(image, *layout, signature);
    authenticodeImageDigest(image, *layout, DigestAlgorithm::Sha256);
    return 0;
}

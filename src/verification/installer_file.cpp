// What both platforms' installer files share: the one pass that copies the staged bytes and takes
// their digests, the size limits, and the image digest that the pass took.

#include "installer_file.h"
#include "installer_copy.h"

#include "build_settings.h"
#include "held_directory.h"
#include "pe_image.h"

namespace installer_copy {

namespace {

constexpr qint64 kChunkBytes = 1048576;

} // namespace

std::optional<InstallerFile::Opened> refusalForSize(qint64 size, qint64 room) {
    const qint64 maximum = buildSettings().maximumInstallerBytes;
    if (size > maximum)
        return InstallerFile::Opened{nullptr, InstallerFile::Refusal::TooLarge, 0, size, maximum};
    if (size > room)
        return InstallerFile::Opened{nullptr, InstallerFile::Refusal::NoRoom, 0, size, room};
    return std::nullopt;
}

CopyResult copyWithDigests(const ReadFunction& read, const WriteFunction& write, qint64 limit) {
    CopyResult result;
    Digest sha256(DigestAlgorithm::Sha256);
    StreamingImageDigest image;
    QByteArray chunk(std::min(kChunkBytes, std::max<qint64>(limit, 1)), Qt::Uninitialized);
    for (qint64 copied = 0; copied < limit;) {
        const qint64 count = read(chunk.data(), std::min(kChunkBytes, limit - copied));
        if (count < 0)
            return result;
        if (count == 0)
            break; // the file shrank since it was opened: the copy is what there is
        if (!write(chunk.constData(), count) || !sha256.add(chunk.constData(), count))
            return result;
        image.add(chunk.constData(), count);
        copied += count;
    }
    result.sha256 = sha256.result();
    result.imageDigest = image.finish();
    result.complete = !result.sha256.isEmpty();
    return result;
}

} // namespace installer_copy

InstallerFile::InstallerFile(const QString& path, OwnedHandle copy, qint64 size)
    : path_(path), copy_(std::move(copy)), size_(size) {}

void InstallerFile::keepDigests(const installer_copy::CopyResult& copied) {
    sha256_ = copied.sha256;
    if (copied.imageDigest)
        imageDigest_ = std::make_unique<ImageDigest>(
            ImageDigest{copied.imageDigest->first, copied.imageDigest->second});
}

std::optional<QByteArray> InstallerFile::knownImageDigest(const PeLayout& layout,
                                                          DigestAlgorithm algorithm) const {
    if (!imageDigest_ || algorithm != DigestAlgorithm::Sha256 || !(imageDigest_->layout == layout))
        return std::nullopt;
    return imageDigest_->sha256;
}

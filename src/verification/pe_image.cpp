#include "pe_image.h"

#include "wintrust_codes.h"

#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr quint16 kPe32Magic = 0x10b;
constexpr quint16 kPe32PlusMagic = 0x20b;
constexpr quint32 kResourceTableIndex = 2;
constexpr quint32 kCertificateTableIndex = 4;
constexpr quint16 kWinCertificateRevision2 = 0x0200;
constexpr quint16 kWinCertificateTypePkcsSignedData = 0x0002;
constexpr qint64 kWinCertificateHeaderSize = 8;
constexpr qint64 kDosHeaderSize = 0x40;
constexpr qint64 kCoffHeaderSize = 20;

// The byte ranges [from, to) that the Authenticode image digest covers, in order, when the hashed
// part of the file ends at `end` (the certificate table, or the end of the file): everything but
// the header checksum and the certificate-table directory entry.
std::vector<std::pair<qint64, qint64>> imageDigestRanges(const PeLayout& layout, qint64 end) {
    if (layout.certificateEntryOffset < 0)
        return {{0, layout.checksumOffset}, {layout.checksumOffset + 4, end}};
    return {{0, layout.checksumOffset},
            {layout.checksumOffset + 4, layout.certificateEntryOffset},
            {layout.certificateEntryOffset + 8, end}};
}

constexpr qint64 roundUpTo8(qint64 value) {
    return (value + 7) / 8 * 8;
}

// The whole length (tag, length and contents) of the DER SEQUENCE at offset; nullopt when there is
// none there, or its length is indefinite or larger than 4 GiB.
std::optional<qint64> derSequenceLength(const QByteArray& data, qsizetype offset) {
    if (data.size() < offset + 2 || static_cast<uchar>(data[offset]) != 0x30)
        return std::nullopt;
    const auto first = static_cast<uchar>(data[offset + 1]);
    if (first < 0x80)
        return 2 + first;
    const int count = first & 0x7f;
    if (count == 0 || count > 4 || data.size() < offset + 2 + count)
        return std::nullopt;
    qint64 length = 0;
    for (int i = 0; i < count; ++i)
        length = (length << 8) | static_cast<uchar>(data[offset + 2 + i]);
    return 2 + count + length;
}

} // namespace

std::optional<PeLayout> parsePeLayout(const ByteSource& image) {
    // DOS header: "MZ", and at 0x3c the offset of the PE signature. Whatever lies in between (a
    // stub program, text) is the file's own business and is hashed like everything else.
    const std::optional<QByteArray> dos = readExactly(image, 0, kDosHeaderSize);
    if (!dos || !dos->startsWith("MZ"))
        return std::nullopt;
    const qint64 peOffset = peU32(*dos, 0x3c);
    const std::optional<QByteArray> coff = readExactly(image, peOffset, 4 + kCoffHeaderSize);
    if (!coff || !coff->startsWith(QByteArray("PE\0\0", 4)))
        return std::nullopt;
    const qint64 optionalOffset = peOffset + 4 + kCoffHeaderSize;
    const std::optional<QByteArray> optional =
        readExactly(image, optionalOffset, peU16(*coff, 4 + 16));
    if (!optional || optional->size() < 2)
        return std::nullopt;

    PeLayout layout;
    qsizetype rvaCountOffset = 0;
    switch (peU16(*optional, 0)) {
    case kPe32Magic:
        rvaCountOffset = 92;
        break;
    case kPe32PlusMagic:
        rvaCountOffset = 108;
        layout.isPe32Plus = true;
        break;
    default:
        return std::nullopt;
    }
    if (optional->size() < rvaCountOffset + 4)
        return std::nullopt;
    layout.checksumOffset = optionalOffset + 64;

    const quint32 directoryCount = peU32(*optional, rvaCountOffset);
    const qsizetype directories = rvaCountOffset + 4;
    // The directories must lie inside the optional header that announces them.
    if (static_cast<qint64>(directoryCount) * 8 > optional->size() - directories)
        return std::nullopt;
    layout.sectionCount = peU16(*coff, 4 + 2);
    layout.sectionTableOffset = optionalOffset + optional->size();
    if (directoryCount > kResourceTableIndex) {
        layout.resourceTableRva = peU32(*optional, directories + kResourceTableIndex * 8);
        layout.resourceTableSize = peU32(*optional, directories + kResourceTableIndex * 8 + 4);
    }
    if (directoryCount <= kCertificateTableIndex) {
        layout.certificateEntryOffset = -1;
        return layout;
    }
    const qsizetype entry = directories + kCertificateTableIndex * 8;
    layout.certificateEntryOffset = optionalOffset + entry;
    layout.certificateTableOffset = peU32(*optional, entry);
    layout.certificateTableSize = peU32(*optional, entry + 4);
    return layout;
}

CertificateTableStatus findSignature(const ByteSource& image, const PeLayout& layout,
                                     QByteArray& signature) {
    if (!layout.hasCertificateTable())
        return CertificateTableStatus::Absent;
    const qint64 offset = layout.certificateTableOffset;
    const qint64 size = layout.certificateTableSize;
    // The table lies after the headers, inside the file, and is not larger than any real one.
    if (offset < layout.certificateEntryOffset + 8 || size < kWinCertificateHeaderSize ||
        size > kMaximumCertificateTableSize || offset > image.size() - size)
        return CertificateTableStatus::Malformed;
    const std::optional<QByteArray> table = readExactly(image, offset, size);
    if (!table)
        return CertificateTableStatus::Malformed;
    const qint64 entryLength = peU32(*table, 0);
    if (entryLength < kWinCertificateHeaderSize || entryLength > size ||
        peU16(*table, 4) != kWinCertificateRevision2 ||
        peU16(*table, 6) != kWinCertificateTypePkcsSignedData)
        return CertificateTableStatus::Malformed;
    const std::optional<qint64> signatureLength =
        derSequenceLength(*table, kWinCertificateHeaderSize);
    if (!signatureLength || kWinCertificateHeaderSize + *signatureLength > entryLength)
        return CertificateTableStatus::Malformed;
    // No digest covers the table: bytes after it in the file, after its one entry (a second
    // entry, or an entry grown over extra bytes) or after the signature would be a place to hide
    // code in a signed file. All that may follow the signature is the padding to a multiple of 8
    // bytes, zeros, and the table must end the file.
    const qint64 signatureEnd = kWinCertificateHeaderSize + *signatureLength;
    if (offset + size != image.size() || roundUpTo8(entryLength) != size ||
        size - signatureEnd >= 8)
        return CertificateTableStatus::Unhashed;
    for (qint64 i = signatureEnd; i < size; ++i) {
        if (table->at(i) != '\0')
            return CertificateTableStatus::Unhashed;
    }
    signature = table->mid(kWinCertificateHeaderSize, *signatureLength);
    return CertificateTableStatus::Found;
}

QByteArray authenticodeImageDigest(const ByteSource& image, const PeLayout& layout,
                                   DigestAlgorithm algorithm) {
    if (std::optional<QByteArray> known = image.knownImageDigest(layout, algorithm))
        return *known;
    Digest digest(algorithm);
    const qint64 end = layout.hasCertificateTable() ? layout.certificateTableOffset : image.size();
    for (const auto& [from, to] : imageDigestRanges(layout, end)) {
        if (from < to && !addRange(digest, image, from, to))
            return QByteArray();
    }
    return digest.result();
}

PeSignature locateSignature(const ByteSource& image) {
    PeSignature located;
    const std::optional<PeLayout> layout = parsePeLayout(image);
    if (!layout) {
        located.code = wintrust::kSubjectFormUnknown;
        return located;
    }
    located.layout = *layout;
    switch (findSignature(image, *layout, located.signature)) {
    case CertificateTableStatus::Absent:
    case CertificateTableStatus::Malformed:
        located.code = wintrust::kNoSignature;
        break;
    case CertificateTableStatus::Unhashed:
        located.code = wintrust::kBadDigest;
        break;
    case CertificateTableStatus::Found:
        break;
    }
    return located;
}

StreamingImageDigest::StreamingImageDigest() : digest_(DigestAlgorithm::Sha256) {}

void StreamingImageDigest::add(const char* data, qint64 length) {
    const qint64 offset = streamed_;
    streamed_ += length;
    if (abandoned_ || length <= 0)
        return;
    if (layout_) {
        hash(data, length, offset);
        return;
    }
    // Until the headers have been read, the bytes are kept; once they have, what was kept is
    // hashed as if it had streamed past just now.
    head_.append(data, std::min(length, kStreamingHeadBytes - head_.size()));
    layout_ = parsePeLayout(MemoryByteSource(head_));
    if (layout_) {
        hash(head_.constData(), head_.size(), 0);
        if (streamed_ > head_.size())
            hash(data + (head_.size() - offset), streamed_ - head_.size(), head_.size());
        head_.clear();
    } else if (head_.size() >= kStreamingHeadBytes) {
        abandoned_ = true;
        head_.clear();
    }
}

// Hashes the parts of [offset, offset + length) that the image digest covers: everything but the
// checksum and the certificate-table entry, up to the certificate table.
void StreamingImageDigest::hash(const char* data, qint64 length, qint64 offset) {
    const PeLayout& layout = *layout_;
    const qint64 end = layout.hasCertificateTable() ? layout.certificateTableOffset
                                                    : std::numeric_limits<qint64>::max();
    for (const auto& [from, to] : imageDigestRanges(layout, end)) {
        const qint64 first = std::max(from, offset);
        const qint64 last = std::min(to, offset + length);
        if (first < last && !digest_.add(data + (first - offset), last - first))
            abandoned_ = true;
    }
}

std::optional<std::pair<PeLayout, QByteArray>> StreamingImageDigest::finish() {
    if (abandoned_ || !layout_)
        return std::nullopt;
    // The digest that authenticodeImageDigest() gives only where it gives one at all: every
    // range it hashes must lie inside the file.
    const PeLayout& layout = *layout_;
    const qint64 end = layout.hasCertificateTable() ? layout.certificateTableOffset : streamed_;
    const qint64 lastSkipped = layout.certificateEntryOffset >= 0
                                   ? layout.certificateEntryOffset + 8
                                   : layout.checksumOffset + 4;
    if (end > streamed_ || lastSkipped > end || layout.checksumOffset + 4 > end)
        return std::nullopt;
    QByteArray value = digest_.result();
    if (value.isEmpty())
        return std::nullopt;
    return std::pair{layout, value};
}

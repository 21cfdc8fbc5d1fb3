#include "pe_image.h"

namespace {

constexpr quint16 kPe32Magic = 0x10b;
constexpr quint16 kPe32PlusMagic = 0x20b;
constexpr quint32 kCertificateTableIndex = 4;
constexpr quint16 kWinCertificateRevision2 = 0x0200;
constexpr quint16 kWinCertificateTypePkcsSignedData = 0x0002;
constexpr qint64 kWinCertificateHeaderSize = 8;
constexpr qint64 kDosHeaderSize = 0x40;
constexpr qint64 kCoffHeaderSize = 20;

quint16 readU16(const QByteArray& data, qsizetype offset) {
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + offset;
    return static_cast<quint16>(p[0] | (p[1] << 8));
}

quint32 readU32(const QByteArray& data, qsizetype offset) {
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + offset;
    return static_cast<quint32>(p[0]) | (static_cast<quint32>(p[1]) << 8) |
           (static_cast<quint32>(p[2]) << 16) | (static_cast<quint32>(p[3]) << 24);
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
    const qint64 peOffset = readU32(*dos, 0x3c);
    const std::optional<QByteArray> coff = readExactly(image, peOffset, 4 + kCoffHeaderSize);
    if (!coff || !coff->startsWith(QByteArray("PE\0\0", 4)))
        return std::nullopt;
    const qint64 optionalOffset = peOffset + 4 + kCoffHeaderSize;
    const std::optional<QByteArray> optional =
        readExactly(image, optionalOffset, readU16(*coff, 4 + 16));
    if (!optional || optional->size() < 2)
        return std::nullopt;

    PeLayout layout;
    qsizetype rvaCountOffset = 0;
    switch (readU16(*optional, 0)) {
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

    const quint32 directoryCount = readU32(*optional, rvaCountOffset);
    const qsizetype directories = rvaCountOffset + 4;
    // The directories must lie inside the optional header that announces them.
    if (static_cast<qint64>(directoryCount) * 8 > optional->size() - directories)
        return std::nullopt;
    if (directoryCount <= kCertificateTableIndex) {
        layout.certificateEntryOffset = -1;
        return layout;
    }
    const qsizetype entry = directories + kCertificateTableIndex * 8;
    layout.certificateEntryOffset = optionalOffset + entry;
    layout.certificateTableOffset = readU32(*optional, entry);
    layout.certificateTableSize = readU32(*optional, entry + 4);
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
    const qint64 entryLength = readU32(*table, 0);
    if (entryLength < kWinCertificateHeaderSize || entryLength > size ||
        readU16(*table, 4) != kWinCertificateRevision2 ||
        readU16(*table, 6) != kWinCertificateTypePkcsSignedData)
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
    Digest digest(algorithm);
    const qint64 end = layout.hasCertificateTable() ? layout.certificateTableOffset : image.size();
    const auto hashed = [&](qint64 from, qint64 to) {
        return to <= from || addRange(digest, image, from, to);
    };
    bool complete = hashed(0, layout.checksumOffset);
    if (layout.certificateEntryOffset >= 0) {
        complete = complete && hashed(layout.checksumOffset + 4, layout.certificateEntryOffset) &&
                   hashed(layout.certificateEntryOffset + 8, end);
    } else {
        complete = complete && hashed(layout.checksumOffset + 4, end);
    }
    return complete ? digest.result() : QByteArray();
}

#include "pe_image.h"

namespace {

constexpr quint16 kPe32Magic = 0x10b;
constexpr quint16 kPe32PlusMagic = 0x20b;
constexpr quint32 kCertificateTableIndex = 4;
constexpr quint16 kWinCertificateRevision2 = 0x0200;
constexpr quint16 kWinCertificateTypePkcsSignedData = 0x0002;
constexpr qsizetype kWinCertificateHeaderSize = 8;

bool fits(const QByteArray& data, qsizetype offset, qsizetype length) {
    return offset >= 0 && length >= 0 && offset <= data.size() && length <= data.size() - offset;
}

quint16 readU16(const QByteArray& data, qsizetype offset) {
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + offset;
    return static_cast<quint16>(p[0] | (p[1] << 8));
}

quint32 readU32(const QByteArray& data, qsizetype offset) {
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + offset;
    return static_cast<quint32>(p[0]) | (static_cast<quint32>(p[1]) << 8) |
           (static_cast<quint32>(p[2]) << 16) | (static_cast<quint32>(p[3]) << 24);
}

} // namespace

std::optional<PeLayout> parsePeLayout(const QByteArray& image) {
    // DOS header: "MZ", and at 0x3c the offset of the PE signature. Whatever lies in between (a
    // stub program, text) is the file's own business and is hashed like everything else.
    if (!fits(image, 0, 0x40) || image[0] != 'M' || image[1] != 'Z')
        return std::nullopt;
    const qsizetype peOffset = readU32(image, 0x3c);
    constexpr qsizetype kCoffHeaderSize = 20;
    if (!fits(image, peOffset, 4 + kCoffHeaderSize) ||
        image.mid(peOffset, 4) != QByteArray("PE\0\0", 4))
        return std::nullopt;
    const qsizetype coff = peOffset + 4;
    const qsizetype optionalHeaderSize = readU16(image, coff + 16);
    const qsizetype optional = coff + kCoffHeaderSize;
    if (!fits(image, optional, optionalHeaderSize) || optionalHeaderSize < 2)
        return std::nullopt;

    PeLayout layout;
    const quint16 magic = readU16(image, optional);
    qsizetype rvaCountOffset = 0;
    if (magic == kPe32Magic) {
        rvaCountOffset = 92;
    } else if (magic == kPe32PlusMagic) {
        rvaCountOffset = 108;
        layout.isPe32Plus = true;
    } else {
        return std::nullopt;
    }
    if (optionalHeaderSize < rvaCountOffset + 4)
        return std::nullopt;
    layout.checksumOffset = optional + 64;

    const quint32 directoryCount = readU32(image, optional + rvaCountOffset);
    const qsizetype directories = optional + rvaCountOffset + 4;
    // The directories must lie inside the optional header that announces them.
    if (static_cast<qint64>(directoryCount) * 8 > optionalHeaderSize - (rvaCountOffset + 4))
        return std::nullopt;
    if (directoryCount <= kCertificateTableIndex) {
        layout.certificateEntryOffset = -1;
        return layout;
    }
    layout.certificateEntryOffset = directories + kCertificateTableIndex * 8;
    layout.certificateTableOffset = readU32(image, layout.certificateEntryOffset);
    layout.certificateTableSize = readU32(image, layout.certificateEntryOffset + 4);
    return layout;
}

CertificateTableStatus findSignature(const QByteArray& image, const PeLayout& layout,
                                     QByteArray& signature) {
    if (!layout.hasCertificateTable())
        return CertificateTableStatus::Absent;
    const qsizetype offset = layout.certificateTableOffset;
    const qsizetype size = layout.certificateTableSize;
    // The table lies after the headers and inside the file.
    if (offset < layout.certificateEntryOffset + 8 || !fits(image, offset, size) ||
        size < kWinCertificateHeaderSize)
        return CertificateTableStatus::Malformed;
    const qsizetype entryLength = readU32(image, offset);
    if (entryLength < kWinCertificateHeaderSize || entryLength > size ||
        readU16(image, offset + 4) != kWinCertificateRevision2 ||
        readU16(image, offset + 6) != kWinCertificateTypePkcsSignedData)
        return CertificateTableStatus::Malformed;
    // Bytes after the table are covered by no digest: a file that carries them has been changed.
    if (offset + size != image.size())
        return CertificateTableStatus::TrailingData;
    signature =
        image.mid(offset + kWinCertificateHeaderSize, entryLength - kWinCertificateHeaderSize);
    return CertificateTableStatus::Found;
}

QByteArray authenticodeImageDigest(const QByteArray& image, const PeLayout& layout,
                                   QCryptographicHash::Algorithm algorithm) {
    QCryptographicHash hash(algorithm);
    const qsizetype end =
        layout.hasCertificateTable() ? layout.certificateTableOffset : image.size();
    const auto addRange = [&](qsizetype from, qsizetype to) {
        if (to > from)
            hash.addData(QByteArrayView(image.constData() + from, to - from));
    };
    addRange(0, layout.checksumOffset);
    if (layout.certificateEntryOffset >= 0) {
        addRange(layout.checksumOffset + 4, layout.certificateEntryOffset);
        addRange(layout.certificateEntryOffset + 8, end);
    } else {
        addRange(layout.checksumOffset + 4, end);
    }
    return hash.result();
}

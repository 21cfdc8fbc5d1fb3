#pragma once

#include "byte_source.h"
#include "digest.h"

#include <QByteArray>
#include <QtEndian>
#include <QtGlobal>

#include <optional>

// Little-endian integers of a PE image's structures, at offset in data (the caller has checked
// that they lie inside it).
inline quint16 peU16(const QByteArray& data, qsizetype offset) {
    return qFromLittleEndian<quint16>(data.constData() + offset);
}
inline quint32 peU32(const QByteArray& data, qsizetype offset) {
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

// The parts of a PE image (PE32 or PE32+) that verification needs: where the header checksum and
// the certificate-table directory entry lie and where the certificate table is (Authenticode),
// and the resource table's directory entry and the section table (the version resource).
struct PeLayout {
    qint64 checksumOffset = 0;
    qint64 certificateEntryOffset = 0;  // -1 when the image has no certificate-table entry
    quint32 certificateTableOffset = 0; // a file offset, not an RVA
    quint32 certificateTableSize = 0;
    bool isPe32Plus = false;
    quint32 resourceTableRva = 0; // 0 when the image has none
    quint32 resourceTableSize = 0;
    qint64 sectionTableOffset = 0; // right after the optional header
    quint16 sectionCount = 0;

    bool hasCertificateTable() const {
        return certificateEntryOffset >= 0 && certificateTableSize != 0;
    }
    bool operator==(const PeLayout&) const = default;
};

// nullopt when the bytes are not a well-formed PE image's headers.
std::optional<PeLayout> parsePeLayout(const ByteSource& image);

enum class CertificateTableStatus {
    Absent,    // no certificate table: the image is unsigned
    Malformed, // the table or its entry is not a PKCS#7 signed-data WIN_CERTIFICATE
    Unhashed,  // bytes that no digest covers: after the table, after the entry, or in its padding
    Found,
};

// The largest certificate table accepted. Real signatures with their certificate chains take a
// few tens of kilobytes; a larger table is refused rather than read into memory.
inline constexpr quint32 kMaximumCertificateTableSize = 16 * 1024 * 1024;

// The signature: the certificate table must hold exactly one PKCS#7 signed-data WIN_CERTIFICATE,
// whose length rounded up to a multiple of 8 is the table's size; after the DER signature only
// zero padding to that multiple of 8 may follow, and the table must end the file (what Windows
// checks with its hardened padding check).
CertificateTableStatus findSignature(const ByteSource& image, const PeLayout& layout,
                                     QByteArray& signature);

// The verdict on an image's form before its signature is judged, as a WinTrust code, the same on
// every platform: 0 when the image is a PE whose certificate table holds exactly one signature
// and nothing that no digest covers; TRUST_E_SUBJECT_FORM_UNKNOWN for bytes that are no PE image,
// TRUST_E_NOSIGNATURE for an image without a well-formed signature entry, TRUST_E_BAD_DIGEST for
// unhashed bytes in or after the table (what Windows refuses only with EnableCertPaddingCheck).
struct PeSignature {
    quint32 code = 0;
    PeLayout layout;      // when code is 0
    QByteArray signature; // the DER PKCS#7 signature, when code is 0
};
PeSignature locateSignature(const ByteSource& image);

// The Authenticode image digest: every byte of the file up to the certificate table (the whole
// file when it has none), except the header checksum and the certificate-table directory entry.
// Empty when the image cannot be read.
QByteArray authenticodeImageDigest(const ByteSource& image, const PeLayout& layout,
                                   DigestAlgorithm algorithm);

// The Authenticode image digest (SHA-256) of bytes that stream past once, in order from offset 0,
// as the installer's private copy is made: the layout is read from the first bytes (up to
// kStreamingHeadBytes; an image whose headers lie further in gets no digest here), and each byte
// after it is hashed or left out as it arrives.
class StreamingImageDigest {
public:
    static constexpr qint64 kStreamingHeadBytes = 65536;

    StreamingImageDigest();
    void add(const char* data, qint64 length);
    // The layout and its image digest, once every byte has been added; nullopt when the layout
    // could not be read from the head, or lies beyond the end, or hashing failed.
    std::optional<std::pair<PeLayout, QByteArray>> finish();

private:
    void hash(const char* data, qint64 length, qint64 offset);

    QByteArray head_;
    std::optional<PeLayout> layout_;
    qint64 streamed_ = 0; // bytes added so far
    bool abandoned_ = false;
    Digest digest_;
};

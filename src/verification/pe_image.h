#pragma once

#include "byte_source.h"
#include "digest.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// The parts of a PE image (PE32 or PE32+) that Authenticode needs: where the header checksum and
// the certificate-table directory entry lie, and where the certificate table is.
struct PeLayout {
    qint64 checksumOffset = 0;
    qint64 certificateEntryOffset = 0;  // -1 when the image has no certificate-table entry
    quint32 certificateTableOffset = 0; // a file offset, not an RVA
    quint32 certificateTableSize = 0;
    bool isPe32Plus = false;

    bool hasCertificateTable() const {
        return certificateEntryOffset >= 0 && certificateTableSize != 0;
    }
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

// The Authenticode image digest: every byte of the file up to the certificate table (the whole
// file when it has none), except the header checksum and the certificate-table directory entry.
// Empty when the image cannot be read.
QByteArray authenticodeImageDigest(const ByteSource& image, const PeLayout& layout,
                                   DigestAlgorithm algorithm);

#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QtGlobal>

#include <optional>

// The parts of a PE image (PE32 or PE32+) that Authenticode needs: where the header checksum and
// the certificate-table directory entry lie, and where the certificate table is.
struct PeLayout {
    qsizetype checksumOffset = 0;
    qsizetype certificateEntryOffset = 0; // -1 when the image has no certificate-table entry
    quint32 certificateTableOffset = 0;   // a file offset, not an RVA
    quint32 certificateTableSize = 0;
    bool isPe32Plus = false;

    bool hasCertificateTable() const {
        return certificateEntryOffset >= 0 && certificateTableSize != 0;
    }
};

// nullopt when the bytes are not a well-formed PE image's headers.
std::optional<PeLayout> parsePeLayout(const QByteArray& image);

enum class CertificateTableStatus { Absent, Malformed, TrailingData, Found };

// The first PKCS#7 signed-data entry of the certificate table, checked against the file's size.
CertificateTableStatus findSignature(const QByteArray& image, const PeLayout& layout,
                                     QByteArray& signature);

// The Authenticode image digest: every byte of the file up to the certificate table (the whole
// file when it has none), except the header checksum and the certificate-table directory entry.
QByteArray authenticodeImageDigest(const QByteArray& image, const PeLayout& layout,
                                   QCryptographicHash::Algorithm algorithm);

// The PE reader on hand-made headers: hostile layouts are refused, a large DOS area with text in
// it is accepted, and the image digest leaves out exactly the checksum, the certificate-table entry
// and the table.

#include "verification/pe_image.h"

#include <QtTest>

#include <cstring>

namespace {

void put16(QByteArray& image, qsizetype offset, quint16 value) {
    image[offset] = static_cast<char>(value & 0xff);
    image[offset + 1] = static_cast<char>(value >> 8);
}

void put32(QByteArray& image, qsizetype offset, quint32 value) {
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// A minimal image: DOS header, PE signature at peOffset, COFF header, optional header with 16
// data directories, padding up to size. Offsets of interest come back through the layout.
QByteArray makeImage(qsizetype peOffset, bool pe32Plus, qsizetype size = 0x800) {
    QByteArray image(size, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3c, static_cast<quint32>(peOffset));
    std::memcpy(image.data() + peOffset, "PE\0\0", 4);
    const qsizetype optional = peOffset + 24;
    const qsizetype rvaCount = pe32Plus ? 108 : 92;
    put16(image, peOffset + 4 + 16, static_cast<quint16>(rvaCount + 4 + 16 * 8));
    put16(image, optional, pe32Plus ? 0x20b : 0x10b);
    put32(image, optional + rvaCount, 16);
    return image;
}

qsizetype certificateEntry(qsizetype peOffset, bool pe32Plus) {
    return peOffset + 24 + (pe32Plus ? 112 : 96) + 4 * 8;
}

} // namespace

class TestPeImage : public QObject {
    Q_OBJECT

private slots:
    void refusesHostileHeaders_data() {
        QTest::addColumn<QByteArray>("image");
        const QByteArray good = makeImage(0x80, true);
        QByteArray noMz = good;
        noMz[0] = 'X';
        QByteArray farPe = good;
        put32(farPe, 0x3c, 0xfffffff0u);
        QByteArray pastEnd = good;
        put32(pastEnd, 0x3c, static_cast<quint32>(good.size() - 10));
        QByteArray badSignature = good;
        badSignature[0x82] = 'X';
        QByteArray badMagic = good;
        put16(badMagic, 0x80 + 24, 0x107);
        QByteArray smallOptional = good;
        put16(smallOptional, 0x80 + 4 + 16, 100);
        QByteArray hugeDirectoryCount = good;
        put32(hugeDirectoryCount, 0x80 + 24 + 108, 0x40000000u);
        QByteArray optionalPastEnd = good.left(0x80 + 24 + 60);

        QTest::newRow("empty") << QByteArray();
        QTest::newRow("MZ only") << QByteArray("MZ");
        QTest::newRow("no MZ") << noMz;
        QTest::newRow("PE offset far beyond the file") << farPe;
        QTest::newRow("PE header cut by the end") << pastEnd;
        QTest::newRow("no PE signature") << badSignature;
        QTest::newRow("unknown optional-header magic") << badMagic;
        QTest::newRow("optional header too small") << smallOptional;
        QTest::newRow("more directories than the header holds") << hugeDirectoryCount;
        QTest::newRow("optional header past the end") << optionalPastEnd;
        QTest::newRow("text file") << QByteArray("#!/bin/sh\necho hello\n").repeated(10);
    }
    void refusesHostileHeaders() {
        QFETCH(QByteArray, image);
        QVERIFY(!parsePeLayout(image).has_value());
    }

    void acceptsLargeDosAreaWithText_data() {
        QTest::addColumn<qsizetype>("peOffset");
        QTest::addColumn<bool>("pe32Plus");
        QTest::newRow("PE32+ at 0x40") << qsizetype(0x40) << true;
        QTest::newRow("PE32 at 0x40") << qsizetype(0x40) << false;
        QTest::newRow("PE32+ at 0x1000") << qsizetype(0x1000) << true;
        QTest::newRow("PE32 at 0x2345") << qsizetype(0x2345) << false;
    }
    void acceptsLargeDosAreaWithText() {
        QFETCH(qsizetype, peOffset);
        QFETCH(bool, pe32Plus);
        QByteArray image = makeImage(peOffset, pe32Plus, peOffset + 0x400);
        const QByteArray text = "\n#!/bin/sh\nexec true\n";
        if (peOffset > 0x40 + text.size())
            image.replace(0x40, text.size(), text);
        const std::optional<PeLayout> layout = parsePeLayout(image);
        QVERIFY(layout.has_value());
        QCOMPARE(layout->isPe32Plus, pe32Plus);
        QCOMPARE(layout->checksumOffset, peOffset + 24 + 64);
        QCOMPARE(layout->certificateEntryOffset, certificateEntry(peOffset, pe32Plus));
        QVERIFY(!layout->hasCertificateTable());
        QByteArray signature;
        QCOMPARE(findSignature(image, *layout, signature), CertificateTableStatus::Absent);
    }

    void digestSkipsExactlyTheExcludedBytes_data() {
        QTest::addColumn<bool>("pe32Plus");
        QTest::newRow("PE32+") << true;
        QTest::newRow("PE32") << false;
    }
    void digestSkipsExactlyTheExcludedBytes() {
        QFETCH(bool, pe32Plus);
        QByteArray image = makeImage(0x80, pe32Plus, 0x600);
        const qsizetype entry = certificateEntry(0x80, pe32Plus);
        // A certificate table of 16 bytes at the end: WIN_CERTIFICATE header and 8 bytes.
        put32(image, entry, 0x600);
        put32(image, entry + 4, 16);
        QByteArray table(16, '\x5a');
        put32(table, 0, 16);
        put16(table, 4, 0x0200);
        put16(table, 6, 0x0002);
        image += table;
        const PeLayout layout = *parsePeLayout(image);
        QByteArray signature;
        QCOMPARE(findSignature(image, layout, signature), CertificateTableStatus::Found);
        QCOMPARE(signature, QByteArray(8, '\x5a'));

        QByteArray expectedInput = image.left(0x600);
        expectedInput.remove(entry, 8);
        expectedInput.remove(layout.checksumOffset, 4);
        const QByteArray digest =
            authenticodeImageDigest(image, layout, QCryptographicHash::Sha256);
        QCOMPARE(digest, QCryptographicHash::hash(expectedInput, QCryptographicHash::Sha256));

        QByteArray checksumChanged = image;
        put32(checksumChanged, layout.checksumOffset, 0x12345678);
        QCOMPARE(authenticodeImageDigest(checksumChanged, layout, QCryptographicHash::Sha256),
                 digest);
        QByteArray tableChanged = image;
        tableChanged[0x600 + 12] = 'X';
        QCOMPARE(authenticodeImageDigest(tableChanged, layout, QCryptographicHash::Sha256), digest);
        QByteArray bodyChanged = image;
        bodyChanged[0x500] = 'X';
        QVERIFY(authenticodeImageDigest(bodyChanged, layout, QCryptographicHash::Sha256) != digest);
    }

    void malformedCertificateTables_data() {
        QTest::addColumn<quint32>("tableOffset");
        QTest::addColumn<quint32>("tableSize");
        QTest::addColumn<quint32>("entryLength");
        QTest::addColumn<quint16>("revision");
        QTest::addColumn<quint16>("type");
        QTest::addColumn<int>("status");
        const int malformed = int(CertificateTableStatus::Malformed);
        QTest::newRow("well formed") << 0x600u << 16u << 16u << quint16(0x200) << quint16(2)
                                     << int(CertificateTableStatus::Found);
        QTest::newRow("table inside the headers")
            << 0x10u << 16u << 16u << quint16(0x200) << quint16(2) << malformed;
        QTest::newRow("table past the end")
            << 0x600u << 32u << 16u << quint16(0x200) << quint16(2) << malformed;
        QTest::newRow("offset wraps")
            << 0xfffffff8u << 16u << 16u << quint16(0x200) << quint16(2) << malformed;
        QTest::newRow("entry longer than table")
            << 0x600u << 16u << 24u << quint16(0x200) << quint16(2) << malformed;
        QTest::newRow("entry shorter than its header")
            << 0x600u << 16u << 4u << quint16(0x200) << quint16(2) << malformed;
        QTest::newRow("wrong revision")
            << 0x600u << 16u << 16u << quint16(0x100) << quint16(2) << malformed;
        QTest::newRow("not PKCS#7")
            << 0x600u << 16u << 16u << quint16(0x200) << quint16(1) << malformed;
        QTest::newRow("data after the table") << 0x5f8u << 8u << 8u << quint16(0x200) << quint16(2)
                                              << int(CertificateTableStatus::TrailingData);
    }
    void malformedCertificateTables() {
        QFETCH(quint32, tableOffset);
        QFETCH(quint32, tableSize);
        QFETCH(quint32, entryLength);
        QFETCH(quint16, revision);
        QFETCH(quint16, type);
        QFETCH(int, status);
        QByteArray image = makeImage(0x80, true, 0x610);
        const qsizetype entry = certificateEntry(0x80, true);
        put32(image, entry, tableOffset);
        put32(image, entry + 4, tableSize);
        if (tableOffset <= 0x608) {
            put32(image, tableOffset, entryLength);
            put16(image, tableOffset + 4, revision);
            put16(image, tableOffset + 6, type);
        }
        const std::optional<PeLayout> layout = parsePeLayout(image);
        QVERIFY(layout.has_value());
        QByteArray signature;
        QCOMPARE(int(findSignature(image, *layout, signature)), status);
    }
};

QTEST_GUILESS_MAIN(TestPeImage)
#include "tst_pe_image.moc"

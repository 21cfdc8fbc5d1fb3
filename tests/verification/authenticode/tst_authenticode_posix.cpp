// The POSIX verifier on the committed test PKI, with its CRLs served on 127.0.0.1: every verdict
// and WinTrust code, and the exact lines of the verification.

#include "authenticode_fixtures.h"
#include "updater.h"
#include "verification/authenticode_trust.h"

#include <QtTest>

namespace {

const QString kNotPinned =
    QStringLiteral("SECURITY ERROR: installer signer is not the pinned publisher.");

QString publisherName(const QString& kind) {
    return QStringLiteral("Quindlebrookware TEST %1 - NOT FOR PRODUCTION").arg(kind);
}

// Flips one byte of the copy at the given offset.
void flipByte(const QString& path, qint64 offset) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x01);
    QVERIFY(file.seek(0));
    QCOMPARE(file.write(bytes), bytes.size());
}

struct Outcome {
    bool passed = false;
    QStringList lines;
};

Outcome verifyWith(const ScopedTemp& temp, const QString& path, const QByteArray& pin,
                   const QByteArray& anchors) {
    const std::unique_ptr<AuthenticodeTrust> trust = createPlatformAuthenticodeTrust(anchors);
    Updater updater;
    Outcome outcome;
    outcome.passed = verifyAuthenticodeWithPin(updater, path, pin.constData(), *trust);
    outcome.lines = temp.logMessages();
    return outcome;
}

// Verifies the copy at path against the pin of the named certificate, with the CRLs served or not,
// and checks that it is refused with the given WinTrust code and nothing else logged.
void verifyRefused(const ScopedTemp& temp, const QString& path, const QString& pinnedCertificate,
                   bool serveCrls, const QString& code) {
    std::unique_ptr<CrlServer> server;
    if (serveCrls) {
        server = std::make_unique<CrlServer>(testPkiDirectory());
        QVERIFY(server->isListening());
    }
    const Outcome outcome =
        verifyWith(temp, path, thumbprintOf(pinnedCertificate), builtInTrustAnchors());
    QVERIFY(!outcome.passed);
    QCOMPARE(outcome.lines,
             (QStringList{QStringLiteral("Starting strict Authenticode verification: ") + path,
                          QStringLiteral("WinVerifyTrust FAILED: 0x") + code}));
}

} // namespace

class TestAuthenticodePosix : public QObject {
    Q_OBJECT

private slots:
    void refusals_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("serveCrls");
        QTest::addColumn<QString>("code");

        QTest::newRow("unsigned PE32+") << "test-unsigned-pe32plus.exe"
                                        << "" << true << "800b0100";
        QTest::newRow("unsigned PE32") << "test-unsigned-pe32.exe"
                                       << "" << true << "800b0100";
        QTest::newRow("not a PE file") << "test-root.pem"
                                       << "" << true << "800b0003";
        QTest::newRow("empty file") << "test-pinned-sha256.exe"
                                    << "empty" << true << "800b0003";
        QTest::newRow("flipped byte in the code") << "test-pinned-sha256.exe"
                                                  << "flip-code" << true << "80096010";
        QTest::newRow("flipped byte in the headers") << "test-pinned-sha1-pe32.exe"
                                                     << "flip-header" << true << "80096010";
        QTest::newRow("truncated certificate table") << "test-pinned-sha256.exe"
                                                     << "truncate" << true << "800b0100";
        QTest::newRow("bytes appended after the table") << "test-pinned-sha256.exe"
                                                        << "append" << true << "80096010";
        QTest::newRow("damaged signature value") << "test-pinned-sha256.exe"
                                                 << "flip-signature" << true << "80096010";
        QTest::newRow("revoked publisher") << "test-revoked-publisher.exe"
                                           << "" << true << "800b010c";
        QTest::newRow("revoked intermediate") << "test-under-revoked-ca.exe"
                                              << "" << true << "800b010c";
        QTest::newRow("CRL server down") << "test-pinned-sha256.exe"
                                         << "" << false << "80092013";
        QTest::newRow("expired, no timestamp") << "test-expired-publisher.exe"
                                               << "" << true << "800b0101";
        QTest::newRow("untrusted root") << "test-untrusted-root.exe"
                                        << "" << true << "800b0109";
        QTest::newRow("no code-signing usage") << "test-server-only.exe"
                                               << "" << true << "800b0110";
    }
    void refusals() {
        QFETCH(QString, fixture);
        QFETCH(QString, damage);
        QFETCH(bool, serveCrls);
        QFETCH(QString, code);

        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, fixture, QStringLiteral("installer.exe"));
        const qint64 size = QFileInfo(path).size();
        QFile file(path);
        if (damage == QLatin1String("empty")) {
            QVERIFY(file.resize(0));
        } else if (damage == QLatin1String("flip-code")) {
            flipByte(path, 0x400 + 2); // inside the first section
        } else if (damage == QLatin1String("flip-header")) {
            flipByte(path, 0x4e); // the DOS stub's text
        } else if (damage == QLatin1String("truncate")) {
            QVERIFY(file.resize(size - 100));
        } else if (damage == QLatin1String("append")) {
            QVERIFY(file.open(QIODevice::Append));
            file.write("appended");
            file.close();
        } else if (damage == QLatin1String("flip-signature")) {
            flipByte(path, size - 40); // inside the signer's signature value, near the table's end
        }

        verifyRefused(temp, path, QStringLiteral("test-publisher"), serveCrls, code);
    }

    // A trusted signature passes with the whole sequence of lines; an expired signer passes when a
    // valid timestamp, of either form, shows that it signed while valid.
    void trustedSignaturePasses_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("signer");
        const QString pinned = QStringLiteral("test-publisher");
        const QString expired = QStringLiteral("test-expired-publisher");
        QTest::newRow("SHA-256, PE32+") << "test-pinned-sha256.exe" << pinned << "Publisher";
        QTest::newRow("SHA-256, PE32") << "test-pinned-sha256-pe32.exe" << pinned << "Publisher";
        QTest::newRow("SHA-1, PE32") << "test-pinned-sha1-pe32.exe" << pinned << "Publisher";
        QTest::newRow("RFC 3161 timestamp")
            << "test-pinned-timestamped.exe" << pinned << "Publisher";
        QTest::newRow("expired, RFC 3161 timestamp")
            << "test-expired-publisher-timestamped.exe" << expired << "Expired Publisher";
        QTest::newRow("expired, legacy countersignature")
            << "test-expired-publisher-legacy-timestamped.exe" << expired << "Expired Publisher";
        // The authority is judged at the time it stamped, as the signer is.
        QTest::newRow("expired, RFC 3161 timestamp by an authority expired since")
            << "test-expired-publisher-expired-tsa.exe" << expired << "Expired Publisher";
        QTest::newRow("expired, legacy countersignature by an authority expired since")
            << "test-expired-publisher-legacy-expired-tsa.exe" << expired << "Expired Publisher";
    }
    void trustedSignaturePasses() {
        QFETCH(QString, fixture);
        QFETCH(QString, certificate);
        QFETCH(QString, signer);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, fixture, QStringLiteral("installer.exe"));
        CrlServer server(testPkiDirectory());
        QVERIFY(server.isListening());
        const QByteArray pin = thumbprintOf(certificate);
        const Outcome outcome = verifyWith(temp, path, pin, builtInTrustAnchors());
        QVERIFY(outcome.passed);
        QCOMPARE(outcome.lines,
                 QStringList{QStringLiteral("Starting strict Authenticode verification: ") + path} +
                     passingLines(pin, publisherName(signer)));
        // At least the signer's and its issuer's CRLs (and the root's, for a timestamp authority).
        QVERIFY(server.requestCount() >= 2);
    }

    void otherPublisherIsRefusedAfterTrust() {
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, QStringLiteral("test-other-publisher.exe"));
        CrlServer server(testPkiDirectory());
        const QByteArray pin = thumbprintOf(QStringLiteral("test-publisher"));
        const Outcome outcome = verifyWith(temp, path, pin, builtInTrustAnchors());
        QVERIFY(!outcome.passed);
        QCOMPARE(outcome.lines,
                 (QStringList{
                     QStringLiteral("Starting strict Authenticode verification: ") + path,
                     QStringLiteral("Windows Authenticode trust verification PASSED."),
                     QStringLiteral("Certificate revocation checking PASSED."),
                     QStringLiteral("Signer certificate SHA-256 thumbprint: ") +
                         QString::fromLatin1(thumbprintOf(QStringLiteral("test-other-publisher"))),
                     QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."),
                     QStringLiteral("Expected signer thumbprint: ") + QString::fromLatin1(pin),
                     QStringLiteral("Signer certificate subject: ") +
                         publisherName(QStringLiteral("Other Publisher")),
                     QStringLiteral("Signer certificate issuer: ") + kIssuerName, kNotPinned}));
    }

    // A timestamp that no longer matches the signature it stamps, whose own signature is damaged,
    // or whose authority's certificate did not cover the stamped time, is refused, not ignored.
    void invalidTimestampIsRefused_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QByteArray>("flipAfter"); // flip the byte after the last of these bytes
        QTest::addColumn<int>("flipFromEnd");      // or, when empty, this far from the end
        QTest::addColumn<bool>("serveCrls");
        QTest::addColumn<QString>("code");
        // The token's signature value is the last large block of the table.
        QTest::newRow("RFC 3161 token's signature")
            << "test-expired-publisher-timestamped.exe" << QByteArray() << 60 << true << "80096005";
        QTest::newRow("legacy countersignature's signature")
            << "test-expired-publisher-legacy-damaged.exe" << QByteArray() << 0 << true
            << "80096005";
        // The countersigner's messageDigest attribute: OID 1.2.840.113549.1.9.4, SET, OCTET STRING.
        QTest::newRow("legacy countersignature's message digest")
            << "test-expired-publisher-legacy-timestamped.exe"
            << QByteArray::fromHex("06092a864886f70d01090431220420") << 0 << true << "80096005";
        // The authority's revocation status is part of the timestamp's check.
        QTest::newRow("legacy countersignature, CRL server down")
            << "test-expired-publisher-legacy-timestamped.exe" << QByteArray() << 0 << false
            << "80092013";
        QTest::newRow("RFC 3161 stamp from before its authority's certificate")
            << "test-expired-publisher-late-tsa.exe" << QByteArray() << 0 << true << "80096005";
        QTest::newRow("legacy stamp from before its authority's certificate")
            << "test-expired-publisher-legacy-late-tsa.exe" << QByteArray() << 0 << true
            << "80096005";
    }
    void invalidTimestampIsRefused() {
        QFETCH(QString, fixture);
        QFETCH(QByteArray, flipAfter);
        QFETCH(int, flipFromEnd);
        QFETCH(bool, serveCrls);
        QFETCH(QString, code);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, fixture, QStringLiteral("installer.exe"));
        const QByteArray bytes = readFixture(fixture);
        if (!flipAfter.isEmpty()) {
            const qsizetype at = bytes.lastIndexOf(flipAfter);
            QVERIFY(at > 0);
            flipByte(path, at + flipAfter.size());
        } else if (flipFromEnd > 0) {
            flipByte(path, bytes.size() - flipFromEnd);
        }
        verifyRefused(temp, path, QStringLiteral("test-expired-publisher"), serveCrls, code);
    }

    // Other trust anchors than the embedded ones: the system's store does not know the test root.
    void trustAnchorsDecideTheRoot_data() {
        QTest::addColumn<QByteArray>("anchors");
        QTest::addColumn<QString>("code");
        QTest::newRow("system store") << QByteArray() << "800b010a";
        QTest::newRow("another root only")
            << readFixture(QStringLiteral("test-untrusted-root.pem")) << "800b010a";
    }
    void trustAnchorsDecideTheRoot() {
        QFETCH(QByteArray, anchors);
        QFETCH(QString, code);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, QStringLiteral("test-pinned-sha256.exe"));
        CrlServer server(testPkiDirectory());
        const Outcome outcome =
            verifyWith(temp, path, thumbprintOf(QStringLiteral("test-publisher")), anchors);
        QVERIFY(!outcome.passed);
        QCOMPARE(outcome.lines.last(), QStringLiteral("WinVerifyTrust FAILED: 0x") + code);
    }

    // A CRL server that answers 404 leaves the status unknown, as one that is down does.
    void missingCrlIsRevocationOffline() {
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, QStringLiteral("test-pinned-sha256.exe"));
        CrlServer server(temp.path()); // a directory without CRLs
        QVERIFY(server.isListening());
        const Outcome outcome = verifyWith(
            temp, path, thumbprintOf(QStringLiteral("test-publisher")), builtInTrustAnchors());
        QVERIFY(!outcome.passed);
        QCOMPARE(outcome.lines.last(), QStringLiteral("WinVerifyTrust FAILED: 0x80092013"));
        QVERIFY(server.requestCount() >= 1);
    }

    // A CRL signed by someone else is no CRL for the chain: status unknown.
    void foreignCrlIsRevocationOffline() {
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, QStringLiteral("test-pinned-sha256.exe"));
        temp.writeFile(QStringLiteral("crls/test-root.crl"),
                       readFixture(QStringLiteral("test-root.crl")));
        temp.writeFile(QStringLiteral("crls/test-intermediate.crl"),
                       readFixture(QStringLiteral("test-untrusted-root.crl")));
        CrlServer server(temp.filePath(QStringLiteral("crls")));
        const Outcome outcome = verifyWith(
            temp, path, thumbprintOf(QStringLiteral("test-publisher")), builtInTrustAnchors());
        QVERIFY(!outcome.passed);
        QCOMPARE(outcome.lines.last(), QStringLiteral("WinVerifyTrust FAILED: 0x80092013"));
    }
};

QTEST_GUILESS_MAIN(TestAuthenticodePosix)
#include "tst_authenticode_posix.moc"

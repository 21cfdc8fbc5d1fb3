// The POSIX verifier's verdict against "osslsigncode verify" on every signed and unsigned fixture,
// given the same trusted root and the same CRLs. Skipped where osslsigncode is not installed.

#include "authenticode_fixtures.h"
#include "verification/authenticode_trust.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

QByteArray pemOfDerCrl(const QByteArray& der) {
    QByteArray pem = "-----BEGIN X509 CRL-----\n";
    const QByteArray base64 = der.toBase64();
    for (qsizetype i = 0; i < base64.size(); i += 64)
        pem += base64.mid(i, 64) + '\n';
    return pem + "-----END X509 CRL-----\n";
}

} // namespace

class TestAuthenticodeOsslsigncode : public QObject {
    Q_OBJECT

private slots:
    void sameVerdict_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("osslsigncodeChecksWholeChain");
        const QStringList fixtures =
            QDir(testPkiDirectory()).entryList({QStringLiteral("*.exe")}, QDir::Files, QDir::Name);
        QVERIFY(fixtures.size() >= 12);
        for (const QString& fixture : fixtures) {
            // osslsigncode asks the CRL of the signer's issuer only; a revoked intermediate is
            // caught here (and by Windows with whole-chain checking) but not there.
            const bool wholeChain = fixture != QLatin1String("test-under-revoked-ca.exe");
            QTest::newRow(qPrintable(fixture)) << fixture << wholeChain;
        }
    }
    void sameVerdict() {
        QFETCH(QString, fixture);
        QFETCH(bool, osslsigncodeChecksWholeChain);
        const QString osslsigncode = QStandardPaths::findExecutable(QStringLiteral("osslsigncode"));
        if (osslsigncode.isEmpty())
            QSKIP("osslsigncode is not installed");

        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = copyFixture(temp, fixture);
        QByteArray crls;
        for (const char* ca : {"test-root", "test-intermediate", "test-revoked-intermediate"})
            crls += pemOfDerCrl(readFixture(QString::fromLatin1(ca) + QStringLiteral(".crl")));
        const QString crlFile = temp.writeFile(QStringLiteral("crls.pem"), crls);
        const QString root = copyFixture(temp, QStringLiteral("test-root.pem"));

        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(osslsigncode,
                      {QStringLiteral("verify"), QStringLiteral("-CAfile"), root,
                       QStringLiteral("-CRLfile"), crlFile, QStringLiteral("-TSA-CAfile"), root,
                       QStringLiteral("-TSA-CRLfile"), crlFile, QStringLiteral("-in"), path});
        QVERIFY(process.waitForFinished(60000));
        const QByteArray output = process.readAll();
        const bool theirs = process.exitCode() == 0 && output.contains("\nSucceeded");

        CrlServer server(testPkiDirectory());
        QVERIFY(server.isListening());
        const std::unique_ptr<AuthenticodeTrust> trust =
            createPlatformAuthenticodeTrust(builtInTrustAnchors());
        const quint32 code = trust->verify(path);
        trust->close();
        const bool ours = code == 0;

        if (osslsigncodeChecksWholeChain) {
            QVERIFY2(ours == theirs,
                     qPrintable(QStringLiteral("ours 0x%1, osslsigncode: %2")
                                    .arg(code, 8, 16, QLatin1Char('0'))
                                    .arg(QString::fromLocal8Bit(output.right(300)))));
        } else {
            QVERIFY(theirs);
            QCOMPARE(code, 0x800b010cu);
        }
    }
};

QTEST_GUILESS_MAIN(TestAuthenticodeOsslsigncode)
#include "tst_authenticode_osslsigncode.moc"

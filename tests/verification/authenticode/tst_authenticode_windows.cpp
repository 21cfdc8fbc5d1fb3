// Windows only: WinVerifyTrust itself, one call per fixture of the TEST PKI, with the TEST root
// trusted by the machine (the suite's Wine prefix; a test machine set up with trust-test-root) and
// the TEST CRLs served or not. Each row is also the smallest reproduction of a verdict in which
// Wine differs from Windows (docs/windows-build.md lists them).

#include "crl_server.h"
#include "test_environment.h"
#include "verification/authenticode_trust.h"
#include "wine_check.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

class TestAuthenticodeWindows : public QObject {
    Q_OBJECT

private slots:
    void verdicts_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("serveCrls");
        QTest::addColumn<QString>("windows"); // WinVerifyTrust's result on Windows
        QTest::addColumn<QString>("wine");    // and under Wine 8.0

        QTest::newRow("unsigned") << "test-unsigned-pe32plus.exe" << true << "800b0100"
                                  << "800b0100";
        QTest::newRow("pinned publisher") << "test-pinned-sha256.exe" << true << "0"
                                          << "0";
        // Wine 8.0's WinVerifyTrust builds no chain to a trusted root and checks no revocation:
        // every signature that is intact is trusted.
        QTest::newRow("untrusted root") << "test-untrusted-root.exe" << true << "800b0109"
                                        << "0";
        QTest::newRow("expired, no timestamp") << "test-expired-publisher.exe" << true << "800b0101"
                                               << "0";
        QTest::newRow("no code-signing usage") << "test-server-only.exe" << true << "800b0110"
                                               << "0";
        QTest::newRow("revoked publisher") << "test-revoked-publisher.exe" << true << "800b010c"
                                           << "0";
        QTest::newRow("revoked intermediate") << "test-under-revoked-ca.exe" << true << "800b010c"
                                              << "0";
        QTest::newRow("CRL server down") << "test-pinned-sha256.exe" << false << "80092013"
                                         << "0";
    }
    void verdicts() {
        QFETCH(QString, fixture);
        QFETCH(bool, serveCrls);
        QFETCH(QString, windows);
        QFETCH(QString, wine);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = temp.filePath(QStringLiteral("installer.exe"));
        QVERIFY(QFile::copy(QDir(testPkiDirectory()).filePath(fixture), path));
        std::unique_ptr<CrlServer> server;
        if (serveCrls) {
            server = std::make_unique<CrlServer>(testPkiDirectory());
            QVERIFY(server->isListening());
        }

        const std::unique_ptr<AuthenticodeTrust> trust = createPlatformAuthenticodeTrust({});
        const quint32 result = trust->verify(path);
        trust->close();
        if (isRunningUnderWine() && wine != windows)
            qInfo("Under Wine: 0x%s; Windows: 0x%s", qPrintable(wine), qPrintable(windows));
        QCOMPARE(QString::number(result, 16), isRunningUnderWine() ? wine : windows);
    }
};

QTEST_GUILESS_MAIN(TestAuthenticodeWindows)
#include "tst_authenticode_windows.moc"

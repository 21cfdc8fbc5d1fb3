// Windows only: WinVerifyTrust itself on files whose verdict needs no trusted test root.

#include "test_environment.h"
#include "updater.h"
#include "verification/authenticode_trust.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestAuthenticodeWindows : public QObject {
    Q_OBJECT

private slots:
    void refusals_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("code");
        QFile unsignedImage(QStringLiteral(UPDATER_TEST_PKI_DIR "/test-unsigned-pe32plus.exe"));
        QVERIFY(unsignedImage.open(QIODevice::ReadOnly));
        QTest::newRow("unsigned PE32+") << unsignedImage.readAll() << "800b0100";
    }
    void refusals() {
        QFETCH(QByteArray, content);
        QFETCH(QString, code);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString path = temp.writeFile(QStringLiteral("installer.exe"), content);
        const std::unique_ptr<AuthenticodeTrust> trust = createPlatformAuthenticodeTrust({});
        Updater updater;
        QVERIFY(!verifyAuthenticodeWithPin(updater, path, QByteArray(64, 'A').constData(), *trust));
        QCOMPARE(temp.logMessages(),
                 (QStringList{QStringLiteral("Starting strict Authenticode verification: ") + path,
                              QStringLiteral("WinVerifyTrust FAILED: 0x") + code}));
    }
};

QTEST_GUILESS_MAIN(TestAuthenticodeWindows)
#include "tst_authenticode_windows.moc"

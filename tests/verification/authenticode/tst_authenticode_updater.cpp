// Through the real program: an unsigned installer ends the run with exit 7 after the trust
// check's code; a test-signed installer of the pinned publisher passes on to the installer stage.
// Until the stages before the signature check are built in, the run stops earlier and the test
// says so by skipping.

#include "authenticode_fixtures.h"

#include <QProcess>
#include <QtTest>

namespace {

// The ID of a process that has already exited.
qint64 exitedProcessId() {
    QProcess process;
    process.start(QStringLiteral("true"), QStringList{});
    process.waitForStarted();
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

} // namespace

class TestAuthenticodeUpdater : public QObject {
    Q_OBJECT

private slots:
    void verdictThroughTheProgram_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("unsigned installer") << "test-unsigned-pe32plus.exe" << false;
        QTest::newRow("pinned, signed installer") << "test-pinned-sha256.exe" << true;
    }
    void verdictThroughTheProgram() {
        QFETCH(QString, fixture);
        QFETCH(bool, trusted);
        ScopedTemp temp;
        QVERIFY(temp.isValid());
        const QString staging = temp.createStagingDirectory();
        const QByteArray installer = readFixture(fixture);
        const QString installerPath =
            temp.writeFile(QDir(staging).filePath(QStringLiteral("installer.exe")), installer);
        const QString sha256 = QString::fromLatin1(
            QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex());
        temp.writeFile(QDir(staging).filePath(QStringLiteral("manifest.json")),
                       QStringLiteral("{\"installer\": \"installer.exe\", \"sha256\": \"%1\"}")
                           .arg(sha256)
                           .toUtf8());

        CrlServer server(testPkiDirectory());
        QVERIFY(server.isListening());
        const UpdaterRun run =
            runUpdater(temp, {QStringLiteral("--temporary-copy"), QStringLiteral("--pid"),
                              QString::number(exitedProcessId()), QStringLiteral("--installer"),
                              installerPath, QStringLiteral("--sha256"), sha256,
                              QStringLiteral("--restart"), QStringLiteral("/bin/true")});
        QVERIFY(run.finished);
        const qsizetype start = run.messages.indexOf(
            QStringLiteral("Starting strict Authenticode verification: ") + installerPath);
        if (start < 0)
            QFAIL(qPrintable(run.messages.join(QLatin1Char('\n'))));
        if (!trusted) {
            QCOMPARE(run.exitCode, 7);
            QCOMPARE(run.messages.mid(start + 1),
                     (QStringList{QStringLiteral("WinVerifyTrust FAILED: 0x800b0100"),
                                  QStringLiteral("Strict Authenticode verification FAILED.")}));
            return;
        }
        const QByteArray pin = thumbprintOf(QStringLiteral("test-publisher"));
        QCOMPARE(run.messages.mid(start + 1, 9),
                 passingLines(
                     pin, QStringLiteral("Quindlebrookware TEST Publisher - NOT FOR PRODUCTION")) +
                     QStringList{QStringLiteral("Strict Authenticode verification PASSED.")});
        QVERIFY(run.exitCode != 7);
        QVERIFY(run.messages.size() > start + 10); // the installer stage has its say
    }
};

QTEST_GUILESS_MAIN(TestAuthenticodeUpdater)
#include "tst_authenticode_updater.moc"

// The update log: line format, encoding, appending, and silence when the file cannot be opened.

#include "test_environment.h"
#include "updater.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

class UpdateLogTest : public QObject {
    Q_OBJECT

private slots:
    void writesOneStampedLinePerMessage_data();
    void writesOneStampedLinePerMessage();
    void timestampIsLocalTimeOfTheCall();
    void closingBannerGivesFourLineEnds();
    void appendsToExistingLog();
    void unopenableLogIsSilentlyDropped();
    void missingTempDirectoryIsSilentlyDropped();
};

void UpdateLogTest::writesOneStampedLinePerMessage_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expectedAfterStamp");

    QTest::newRow("plain") << QStringLiteral("Updater started.")
                           << QByteArray("Updater started.\n");
    QTest::newRow("empty message keeps the blank") << QString() << QByteArray("\n");
    QTest::newRow("placeholders stay literal")
        << QStringLiteral("Path %1 and %2 stay") << QByteArray("Path %1 and %2 stay\n");
    QTest::newRow("non-ASCII is UTF-8")
        << QStringLiteral("Installer: C:/Users/Jos\u00e9/\u00dcber/\u65e5\u672c.exe")
        << QByteArray("Installer: C:/Users/Jos\xc3\xa9/\xc3\x9c"
                      "ber/\xe6\x97\xa5\xe6\x9c\xac.exe\n");
}

void UpdateLogTest::writesOneStampedLinePerMessage() {
    QFETCH(QString, message);
    QFETCH(QByteArray, expectedAfterStamp);
    ScopedTemp temp;
    QVERIFY(temp.isValid());

    Updater().log(message);

    QByteArray bytes = temp.logBytes();
#ifdef Q_OS_WIN
    bytes.replace("\r\n", "\n");
#endif
    static const QRegularExpression stamp(
        QStringLiteral("^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] "));
    const QRegularExpressionMatch match = stamp.match(QString::fromLatin1(bytes));
    QVERIFY2(match.hasMatch(), bytes.constData());
    QCOMPARE(match.capturedLength(), 22);
    QCOMPARE(bytes.mid(22), expectedAfterStamp);
    QVERIFY(!bytes.startsWith("\xef\xbb\xbf"));
}

void UpdateLogTest::timestampIsLocalTimeOfTheCall() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    Updater().log(QStringLiteral("x"));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QDateTime stamped = QDateTime::fromString(QString::fromLatin1(temp.logBytes().mid(1, 19)),
                                                    QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QVERIFY(stamped.isValid());
    QVERIFY(stamped >= before.addMSecs(-before.time().msec()));
    QVERIFY(stamped <= after);
}

void UpdateLogTest::closingBannerGivesFourLineEnds() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString banner(40, QLatin1Char('='));

    Updater().log(banner + QStringLiteral("\n\n\n"));

    const QByteArray bytes = temp.logBytes();
#ifdef Q_OS_WIN
    QVERIFY(bytes.endsWith(QByteArray(40, '=') + "\r\n\r\n\r\n\r\n"));
#else
    QVERIFY(bytes.endsWith(QByteArray(40, '=') + "\n\n\n\n"));
#endif
    QCOMPARE(temp.logMessages(), QStringList({banner, QString(), QString(), QString()}));
}

void UpdateLogTest::appendsToExistingLog() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    temp.writeFile(QStringLiteral("Vexta-Updater.log"), "[2020-01-01 00:00:00] earlier run\n");

    Updater updater;
    updater.log(QStringLiteral("first"));
    updater.log(QStringLiteral("second"));

    QCOMPARE(temp.logMessages(), QStringList({QStringLiteral("earlier run"),
                                              QStringLiteral("first"), QStringLiteral("second")}));
}

void UpdateLogTest::unopenableLogIsSilentlyDropped() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // A directory where the log file should be: the open fails.
    QVERIFY(QDir().mkpath(temp.logPath()));

    Updater().log(QStringLiteral("lost"));

    QVERIFY(QFileInfo(temp.logPath()).isDir());
    QCOMPARE(QDir(temp.path()).entryList(QDir::Files).size(), 0);
}

void UpdateLogTest::missingTempDirectoryIsSilentlyDropped() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString gone = temp.filePath(QStringLiteral("no-such-dir"));
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", gone.toLocal8Bit());
    qputenv("TMP", gone.toLocal8Bit());
    qputenv("TEMP", gone.toLocal8Bit());

    Updater().log(QStringLiteral("lost"));

    qputenv("TMPDIR", saved);
    qputenv("TMP", saved);
    qputenv("TEMP", saved);
    QVERIFY(!QFileInfo::exists(gone));
    // Qt reports such a TEMP as empty: the line must not land at the file-system root either.
    QVERIFY(!QFileInfo::exists(QStringLiteral("/Vexta-Updater.log")));
}

QTEST_GUILESS_MAIN(UpdateLogTest)
#include "tst_update_log.moc"

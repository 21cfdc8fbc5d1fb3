// The update log: the line format and its encoding, appending from two processes at once, and
// silence when the file cannot be opened.

#include "test_environment.h"
#include "updater.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

constexpr int kLinesPerWriter = 2000;

// Long lines, so that two writers' lines would overlap if they landed at the same offset.
QString writerLine(const QString& writer, int index) {
    return QStringLiteral("%1 line %2 ").arg(writer).arg(index, 4, 10, QLatin1Char('0')) +
           QString(120, QLatin1Char('.'));
}

} // namespace

class UpdateLogTest : public QObject {
    Q_OBJECT

private slots:
    void format_data();
    void format();
    void twoProcessesAppendWholeLines();
    void unopenableLogIsDropped();
};

void UpdateLogTest::format_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("afterStamp"); // with "\n" line ends

    QTest::newRow("plain") << QStringLiteral("Updater started.")
                           << QByteArray("Updater started.\n");
    QTest::newRow("empty message keeps the blank") << QString() << QByteArray("\n");
    QTest::newRow("placeholders stay literal")
        << QStringLiteral("Path %1 and %2") << QByteArray("Path %1 and %2\n");
    QTest::newRow("UTF-8 without a byte-order mark")
        << QStringLiteral("C:/Users/Jos\u00e9/\u0414\u043c/\u674e.exe")
        << QByteArray("C:/Users/Jos\xc3\xa9/\xd0\x94\xd0\xbc/\xe6\x9d\x8e.exe\n");
    QTest::newRow("closing banner: four line ends")
        << QString(40, QLatin1Char('=')) + QStringLiteral("\n\n\n")
        << QByteArray(40, '=') + "\n\n\n\n";
}

void UpdateLogTest::format() {
    QFETCH(QString, message);
    QFETCH(QByteArray, afterStamp);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    temp.writeFile(QStringLiteral("Vexta-Updater.log"), "earlier run\n");

    Updater().log(message);

    QByteArray bytes = temp.logBytes();
    QVERIFY(bytes.startsWith("earlier run\n"));
    bytes.remove(0, 12);
    // Text mode: the platform's line end.
    if (QSysInfo::productType() == QLatin1String("windows"))
        afterStamp.replace("\n", "\r\n");
    static const QRegularExpression stamp(
        QStringLiteral("^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] "));
    QVERIFY2(stamp.match(QString::fromLatin1(bytes.left(22))).hasMatch(), bytes.constData());
    QCOMPARE(bytes.mid(22), afterStamp);
}

// Every line goes to the end of the file, however the two updater processes' writes meet.
void UpdateLogTest::twoProcessesAppendWholeLines() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    QProcess writers[2];
    const QStringList names{QStringLiteral("A"), QStringLiteral("B")};
    for (int i = 0; i < 2; ++i)
        writers[i].start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--append-lines"), names[i]});
    for (QProcess& writer : writers)
        QVERIFY(writer.waitForFinished(120000) && writer.exitCode() == 0);

    QStringList expected;
    for (const QString& name : names) {
        for (int i = 0; i < kLinesPerWriter; ++i)
            expected << writerLine(name, i);
    }
    QStringList messages = temp.logMessages();
    QCOMPARE(messages.size(), expected.size());
    messages.sort();
    QCOMPARE(messages, expected);
}

void UpdateLogTest::unopenableLogIsDropped() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    QVERIFY(QDir().mkpath(temp.logPath())); // a directory where the file should be

    Updater().log(QStringLiteral("lost"));

    QVERIFY(QFileInfo(temp.logPath()).isDir());
    QCOMPARE(QDir(temp.path()).entryList(QDir::Files), QStringList());
}

// "--append-lines NAME": this program as one of the two writers.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--append-lines") == 0) {
        Updater updater;
        for (int i = 0; i < kLinesPerWriter; ++i)
            updater.log(writerLine(QString::fromLatin1(argv[2]), i));
        return 0;
    }
    UpdateLogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_update_log.moc"

// The update log: appending from two processes at once, and silence when the file cannot be
// opened. (The line format, its encoding and its line ends are checked wherever a test reads the
// log: ScopedTemp::logMessages() marks every line that breaks them.)

#include "test_environment.h"
#include "updater.h"

#include <QCoreApplication>
#include <QProcess>
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
    void twoProcessesAppendWholeLines();
    void unopenableLogIsDropped();
};

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

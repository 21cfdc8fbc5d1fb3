// The update log: appending from two processes at once, what stands in the log's place in a TEMP
// that other accounts share, and (Windows) the handle that the lock needs. (The line format, its
// encoding and its line ends are checked wherever a test reads the log: ScopedTemp::logMessages()
// marks every line that breaks them.)

#include "program_run.h"
#include "run/log_file.h"
#include "test_environment.h"
#include "updater.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#include <winternl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kLinesPerWriter = 2000;

// Long lines, so that two writers' lines would overlap if they landed at the same offset.
QString writerLine(const QString& writer, int index) {
    return u"%1 line %2 "_s.arg(writer).arg(index, 4, 10, QChar(u'0')) + QString(120, u'.');
}

// What stands at the log's path before a line is logged.
enum class InPlace {
    Nothing,          // the log is made, for this user alone
    Directory,        // the line is dropped
    LinkElsewhere,    // POSIX: a link to a file of another place: not followed
    Fifo,             // POSIX: a FIFO: not waited on
    AnotherUsersFile, // POSIX: a log that another account made first: not written into
};

} // namespace

Q_DECLARE_METATYPE(InPlace)

class UpdateLogTest : public QObject {
    Q_OBJECT

private slots:
    void twoProcessesAppendWholeLines();
    void inTheLogsPlace_data();
    void inTheLogsPlace();
#ifdef Q_OS_WIN
    void lockableAppendHandle();
#endif
};

// Every line goes to the end of the file, however the two updater processes' writes meet.
void UpdateLogTest::twoProcessesAppendWholeLines() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    QProcess writers[2];
    const QStringList names{u"A"_s, u"B"_s};
    for (int i = 0; i < 2; ++i)
        writers[i].start(QCoreApplication::applicationFilePath(), {u"--append-lines"_s, names[i]});
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

void UpdateLogTest::inTheLogsPlace_data() {
    QTest::addColumn<InPlace>("inPlace");
    QTest::newRow("nothing: made for this user alone") << InPlace::Nothing;
    QTest::newRow("a directory") << InPlace::Directory;
#ifndef Q_OS_WIN
    QTest::newRow("a link to another place") << InPlace::LinkElsewhere;
    QTest::newRow("a FIFO") << InPlace::Fifo;
    if (::geteuid() == 0)
        QTest::newRow("another account's log") << InPlace::AnotherUsersFile;
#endif
}

// A line is logged by a process of its own ("--log-one"), which must end: a log that blocks is
// a hung update.
void UpdateLogTest::inTheLogsPlace() {
    QFETCH(InPlace, inPlace);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString elsewhere = temp.writeFile(temp.outsidePath(u"elsewhere"_s), "untouched\n");
    switch (inPlace) {
    case InPlace::Nothing:
        break;
    case InPlace::Directory:
        QVERIFY(QDir().mkpath(temp.logPath()));
        break;
    case InPlace::LinkElsewhere:
        QVERIFY(QFile::link(elsewhere, temp.logPath()));
        break;
    case InPlace::Fifo:
#ifndef Q_OS_WIN
        QCOMPARE(::mkfifo(QFile::encodeName(temp.logPath()).constData(), 0666), 0);
#endif
        break;
    case InPlace::AnotherUsersFile:
        temp.writeFile(temp.logPath(), "theirs\n");
#ifndef Q_OS_WIN
        QCOMPARE(::chown(QFile::encodeName(temp.logPath()).constData(), 65534, 65534), 0);
#endif
        break;
    }
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(), {u"--log-one"_s});
    QVERIFY2(writer.waitForFinished(10000) && writer.exitCode() == 0, "the log blocked the writer");

    // What stood there is as it was: nothing written through a link, into a FIFO, into another
    // account's file or a directory.
    QCOMPARE(readFileBytes(elsewhere), QByteArray("untouched\n"));
    if (inPlace == InPlace::AnotherUsersFile)
        QCOMPARE(readFileBytes(temp.logPath()), QByteArray("theirs\n"));
    if (inPlace == InPlace::Directory)
        QCOMPARE(QDir(temp.logPath()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    if (inPlace == InPlace::Nothing) {
        QCOMPARE(temp.logMessages(), QStringList{u"one line"_s});
#ifndef Q_OS_WIN
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(temp.logPath()).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, mode_t(0600));
#endif
    }
}

#ifdef Q_OS_WIN
// LockFileEx needs a handle with read or write data access; the log's handle has read and append
// access, never plain write. Wine grants the lock whatever the handle may do, so the handle's
// granted access is what the row looks at too.
void UpdateLogTest::lockableAppendHandle() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const OwnedHandle log = openLogFile(temp.logPath());
    QVERIFY(log);
    PUBLIC_OBJECT_BASIC_INFORMATION information = {};
    ULONG length = 0;
    QCOMPARE(NtQueryObject(log.get(), ObjectBasicInformation, &information, sizeof(information),
                           &length),
             NTSTATUS(0));
    QCOMPARE(information.GrantedAccess & (FILE_READ_DATA | FILE_APPEND_DATA | FILE_WRITE_DATA),
             ACCESS_MASK(FILE_READ_DATA | FILE_APPEND_DATA));
    OVERLAPPED range = {};
    range.OffsetHigh = 0x40000000;
    QVERIFY(LockFileEx(log.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range));
    UnlockFileEx(log.get(), 0, 1, 0, &range);
}
#endif

// "--append-lines NAME": this program as one of the two writers; "--log-one": one line.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--append-lines") == 0) {
        Updater updater;
        for (int i = 0; i < kLinesPerWriter; ++i)
            updater.log(writerLine(QString::fromLatin1(argv[2]), i));
        return 0;
    }
    if (argc == 2 && qstrcmp(argv[1], "--log-one") == 0) {
        Updater().log(u"one line"_s);
        return 0;
    }
    UpdateLogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_update_log.moc"

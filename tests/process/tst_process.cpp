// Process control below what an update run can provoke: the outcomes that need a declined prompt
// or a failing system call (scripted answers, through the same algorithm as the product), the
// real platform's wait on a process that outlasts the limit or is gone, a start that fails, the
// error text, and on POSIX the pkexec decisions. Complete runs are the end-to-end table's.

#include "installer_image.h"
#include "process/process_control.h"
#include "process/process_platform.h"
#include "test_environment.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>
#include <QThread>

#ifndef Q_OS_WIN
#include "process/process_platform_posix.h"

#include <sys/wait.h>
#endif

using namespace process_control;

namespace {

// What the algorithm did with the process object it was given.
struct Record {
    int waits = 0;
    unsigned long limitMs = 0;
    bool released = false;
};

class ScriptedProcess final : public WaitableProcess {
public:
    ScriptedProcess(WaitResult wait, bool readable, unsigned long code, Record& record)
        : wait_(wait), readable_(readable), code_(code), record_(record) {}
    ~ScriptedProcess() override { record_.released = true; }
    WaitResult wait(unsigned long limitMs) override {
        ++record_.waits;
        record_.limitMs = limitMs;
        return wait_;
    }
    bool exitCode(unsigned long& code, ErrorCode& error) override {
        code = code_;
        error = wait_.error;
        return readable_;
    }

private:
    WaitResult wait_;
    bool readable_;
    unsigned long code_;
    Record& record_;
};

// Answers as the row says; the error texts are the real platform's.
struct ScriptedPlatform final : ProcessPlatform {
    int status = 0; // OpenStatus or StartStatus
    ErrorCode error = 0;
    bool withProcess = true;
    WaitResult wait{WaitStatus::Ended, 0, 0};
    bool readable = true;
    unsigned long exitCode = 0;
    mutable Record record;

    template <typename Result, typename Status> Result answer(Status opened) const {
        Result result;
        result.status = static_cast<Status>(status);
        result.error = error;
        if (result.status == opened && withProcess)
            result.process = std::make_unique<ScriptedProcess>(wait, readable, exitCode, record);
        return result;
    }
    OpenResult openProcess(long long) const override {
        return answer<OpenResult>(OpenStatus::Opened);
    }
    StartResult startElevated(const InstallerFile&) const override {
        return answer<StartResult>(StartStatus::Started);
    }
    QString errorMessage(ErrorCode code) const override {
        return systemProcessPlatform().errorMessage(code);
    }
};

constexpr ErrorCode kSomeError = 5;

QStringList filled(QStringList lines) {
    return lines.replaceInStrings(QStringLiteral("{error}"),
                                  systemProcessPlatform().errorMessage(kSomeError));
}

} // namespace

class ProcessTest : public QObject {
    Q_OBJECT

private slots:
    void scriptedWait_data();
    void scriptedWait();
    void scriptedInstaller_data();
    void scriptedInstaller();
    void realWait_data();
    void realWait();
    void startsThatFail();
    void errorText_data();
    void errorText();
#ifndef Q_OS_WIN
    void pkexecDecisions();
#endif
};

void ProcessTest::scriptedWait_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("wait");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("lines"); // after "Waiting for application process 42 to exit..."
    const int opened = int(OpenStatus::Opened);
    QTest::newRow("gone") << int(OpenStatus::NoSuchProcess) << 0 << true
                          << QStringList{
                                 QStringLiteral("Target process no longer exists. Continuing.")};
    QTest::newRow("open refused") << int(OpenStatus::Failed) << 0 << false
                                  << QStringList{QStringLiteral("OpenProcess failed: {error}")};
    QTest::newRow("ended") << opened << int(WaitStatus::Ended) << true
                           << QStringList{QStringLiteral("Target application exited.")};
    QTest::newRow("time-out") << opened << int(WaitStatus::TimedOut) << false
                              << QStringList{QStringLiteral(
                                     "Timed out waiting for application after 120 seconds.")};
    QTest::newRow("wait failed")
        << opened << int(WaitStatus::Failed) << false
        << QStringList{QStringLiteral(
               "WaitForSingleObject failed. Result: 4294967295, Windows error: {error}")};
}

void ProcessTest::scriptedWait() {
    QFETCH(int, status);
    QFETCH(int, wait);
    QFETCH(bool, expected);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    ScriptedPlatform platform;
    platform.status = status;
    platform.error = kSomeError;
    platform.wait = {static_cast<WaitStatus>(wait), 4294967295UL, kSomeError};
    Updater updater;

    QCOMPARE(waitForProcessExit(updater, platform, 42, kApplicationWaitLimitMs), expected);
    QCOMPARE(temp.logMessages(),
             QStringList{QStringLiteral("Waiting for application process 42 to exit...")} +
                 filled(lines));
    // At most one wait, for the product's limit, and the process released on every way out.
    QCOMPARE(platform.record.waits, status == int(OpenStatus::Opened) ? 1 : 0);
    QVERIFY(platform.record.waits == 0 || platform.record.limitMs == 120000);
    QCOMPARE(platform.record.released, status == int(OpenStatus::Opened));
}

void ProcessTest::scriptedInstaller_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("withProcess");
    QTest::addColumn<int>("wait");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<qulonglong>("exitCode");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("lines"); // after the start line

    const int started = int(StartStatus::Started);
    const int ended = int(WaitStatus::Ended);
    const QString launched = QStringLiteral("Installer process launched successfully.");
    const QString waiting = QStringLiteral("Waiting for installer to finish...");
    const QString nonZero = QStringLiteral("Installer returned a non-zero exit code.");
    QTest::newRow("prompt declined")
        << int(StartStatus::Cancelled) << false << ended << true << 0ULL << false
        << QStringList{QStringLiteral("User cancelled UAC elevation.")};
    QTest::newRow("start refused")
        << int(StartStatus::Failed) << false << ended << true << 0ULL << false
        << QStringList{QStringLiteral("ShellExecuteExW failed: {error}")};
    QTest::newRow("no handle") << started << false << ended << true << 0ULL << false
                               << QStringList{launched,
                                              QStringLiteral("Installer process handle is null.")};
    QTest::newRow("wait failed")
        << started << true << int(WaitStatus::Failed) << true << 0ULL << false
        << QStringList{
               launched, waiting,
               QStringLiteral(
                   "WaitForSingleObject failed. Result: 4294967295, Windows error: {error}")};
    QTest::newRow("exit code unreadable")
        << started << true << ended << false << 0ULL << false
        << QStringList{launched, waiting, QStringLiteral("GetExitCodeProcess failed: {error}")};
    QTest::newRow("exit 0") << started << true << ended << true << 0ULL << true
                            << QStringList{launched, waiting,
                                           QStringLiteral("Installer exit code: 0")};
    QTest::newRow("crash code, unsigned")
        << started << true << ended << true << 3221225477ULL << false
        << QStringList{launched, waiting, QStringLiteral("Installer exit code: 3221225477"),
                       nonZero};
}

void ProcessTest::scriptedInstaller() {
    QFETCH(int, status);
    QFETCH(bool, withProcess);
    QFETCH(int, wait);
    QFETCH(bool, readable);
    QFETCH(qulonglong, exitCode);
    QFETCH(bool, expected);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const std::unique_ptr<InstallerFile> installer =
        InstallerFile::open(temp.writeFile(QStringLiteral("installer.exe"), "MZ"));
    QVERIFY(installer);
    ScriptedPlatform platform;
    platform.status = status;
    platform.error = kSomeError;
    platform.withProcess = withProcess;
    platform.wait = {static_cast<WaitStatus>(wait), 4294967295UL, kSomeError};
    platform.readable = readable;
    platform.exitCode = static_cast<unsigned long>(exitCode);
    Updater updater;

    QCOMPARE(runElevatedInstaller(updater, platform, *installer), expected);
    QCOMPARE(
        temp.logMessages(),
        QStringList{QStringLiteral("Starting installer with UAC elevation: ") + installer->path()} +
            filled(lines));
    // One wait without limit, and the process released on every way out.
    const bool hadProcess = status == int(StartStatus::Started) && withProcess;
    QCOMPARE(platform.record.waits, hadProcess ? 1 : 0);
    QVERIFY(!hadProcess || platform.record.limitMs == kWaitForever);
    QCOMPARE(platform.record.released, hadProcess);
}

void ProcessTest::realWait_data() {
    QTest::addColumn<bool>("ends");
    QTest::newRow("outlasts the limit: left running") << false;
    QTest::newRow("no such process") << true;
}

// The platform's own wait: a process that outlasts a 1 s limit is left running; the identifier of
// no process gives the "no longer exists" line. (POSIX: a child that has been reaped. Windows: an
// identifier no process has, as Windows keeps the object of an ended process while anyone, Wine's
// server included, still holds it.)
void ProcessTest::realWait() {
    QFETCH(bool, ends);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    auto host = std::make_unique<QProcess>();
    host->start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--sleep-ms"), ends ? QStringLiteral("0") : QStringLiteral("60000")});
    QVERIFY(host->waitForStarted());
    long long pid = host->processId();
    if (ends) {
        QVERIFY(host->waitForFinished());
        host.reset();
        if (QSysInfo::productType() == QLatin1String("windows"))
            pid = 4294967292LL; // a multiple of 4, as Windows' identifiers are, that none has
    }
    Updater updater;

    const bool result = waitForProcessExit(updater, systemProcessPlatform(), pid, 1000);

    QCOMPARE(result, ends);
    if (host) {
        QCOMPARE(host->state(), QProcess::Running);
        host->kill();
        host->waitForFinished();
    }
    QCOMPARE(temp.logMessages(),
             QStringList({QStringLiteral("Waiting for application process %1 to exit...").arg(pid),
                          ends ? QStringLiteral("Target process no longer exists. Continuing.")
                               : QStringLiteral("Timed out waiting for application after 1 "
                                                "seconds.")}));
}

// A held installer that is no program, and a restart target that cannot be started. Windows
// refuses the installer with ERROR_BAD_EXE_FORMAT; a POSIX shell runs any text that the kernel
// refuses as a script, so there the "installer" runs and fails as one.
void ProcessTest::startsThatFail() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString notAProgram = temp.writeFile(QStringLiteral("installer.exe"), "not a program\n");
    const std::unique_ptr<InstallerFile> installer = InstallerFile::open(notAProgram);
    QVERIFY(installer);
    Updater updater;

    QVERIFY(!updater.runInstaller(*installer));
    QVERIFY(!updater.restartApplication(notAProgram));

    const QString start = QStringLiteral("Starting installer with UAC elevation: ") + notAProgram;
    const QString restart = QStringLiteral("Restarting application: ") + notAProgram;
    const QString restartFailed = QStringLiteral("QProcess::startDetached failed.");
#ifdef Q_OS_WIN
    QCOMPARE(temp.logMessages(),
             (QStringList{start,
                          QStringLiteral("ShellExecuteExW failed: ") +
                              systemProcessPlatform().errorMessage(193), // ERROR_BAD_EXE_FORMAT
                          restart, restartFailed}));
#else
    QCOMPARE(temp.logMessages(),
             (QStringList{start, QStringLiteral("Installer process launched successfully."),
                          QStringLiteral("Waiting for installer to finish..."),
                          QStringLiteral("Installer exit code: 127"),
                          QStringLiteral("Installer returned a non-zero exit code."), restart,
                          restartFailed}));
#endif
}

void ProcessTest::errorText_data() {
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<QString>("systemText");
    QTest::addColumn<QString>("expected");
    QTest::newRow("code 0 asks nothing")
        << 0ULL << QStringLiteral("unused") << QStringLiteral("ERROR_SUCCESS");
    QTest::newRow("ends trimmed, inside kept, marker literal")
        << 5ULL << QStringLiteral(" Access %1  denied.\r\n")
        << QStringLiteral("Access %1  denied. (5)");
    QTest::newRow("no text, unsigned code") << 4294967295ULL << QStringLiteral(" \r\n")
                                            << QStringLiteral("Unknown Windows error (4294967295)");
}

void ProcessTest::errorText() {
    QFETCH(qulonglong, code);
    QFETCH(QString, systemText);
    QFETCH(QString, expected);
    static QString text;
    text = systemText;
    QCOMPARE(errorMessageText(static_cast<ErrorCode>(code), [](ErrorCode) { return text; }),
             expected);
    // The platform's own lookup gives the same form.
    const QString own = systemProcessPlatform().errorMessage(static_cast<ErrorCode>(code));
    QVERIFY2(code == 0 ? own == expected : own.endsWith(QStringLiteral(" (%1)").arg(code)),
             qPrintable(own));
}

#ifndef Q_OS_WIN
// Without root, pkexec runs the held installer through this process's descriptor; its exit
// status tells a dismissed prompt (126) and a refused authorisation (127) from the program's own.
void ProcessTest::pkexecDecisions() {
    QCOMPARE(posix::elevatedCommandLine(QStringLiteral("/proc/7/fd/3"), false),
             QStringList({QStringLiteral("/usr/bin/pkexec"), QStringLiteral("--keep-cwd"),
                          QStringLiteral("/proc/7/fd/3")}));
    QCOMPARE(posix::elevatedCommandLine(QStringLiteral("/x/installer.exe"), true),
             QStringList{QStringLiteral("/x/installer.exe")});
    QCOMPARE(posix::heldDescriptorPath(7, 3), QStringLiteral("/proc/7/fd/3"));
    const auto outcome = [](int status) {
        const posix::AuthenticatedRun run = posix::authenticatedRunOutcome(status);
        return QStringLiteral("%1 %2 %3").arg(int(run.status)).arg(run.error).arg(run.exitCode);
    };
    QCOMPARE(outcome(W_EXITCODE(126, 0)),
             QStringLiteral("%1 %2 1").arg(int(StartStatus::Cancelled)).arg(ECANCELED));
    QCOMPARE(outcome(W_EXITCODE(127, 0)),
             QStringLiteral("%1 %2 1").arg(int(StartStatus::Failed)).arg(EACCES));
    QCOMPARE(outcome(W_EXITCODE(125, 0)),
             QStringLiteral("%1 0 125").arg(int(StartStatus::Started)));
    QCOMPARE(outcome(W_EXITCODE(0, SIGKILL)),
             QStringLiteral("%1 0 137").arg(int(StartStatus::Started)));
}
#endif

// "--sleep-ms N": this program as the host application that the wait is for.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--sleep-ms") == 0) {
        QThread::msleep(QByteArray(argv[2]).toULong());
        return 0;
    }
    ProcessTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_process.moc"

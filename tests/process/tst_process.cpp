// Process control below what an update run can provoke: the outcomes that need a declined prompt
// or a failing system call (scripted answers, through the same algorithm as the product), the
// real platform's answer for a process that does not exist and for an installer that is no
// program, the error text, and on POSIX the pkexec decisions. Complete runs, the host that
// outlasts the limit included, are the end-to-end table's.

#include "process/process_control.h"
#include "process/process_platform.h"
#include "test_environment.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QTest>

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

// The status under which the platform hands over a process.
int opened(bool installer) {
    return installer ? int(StartStatus::Started) : int(OpenStatus::Opened);
}

QStringList filled(QStringList lines) {
    return lines.replaceInStrings(QStringLiteral("{error}"),
                                  systemProcessPlatform().errorMessage(kSomeError));
}

} // namespace

class ProcessTest : public QObject {
    Q_OBJECT

private slots:
    void scripted_data();
    void scripted();
    void platformAnswers();
    void errorText_data();
    void errorText();
#ifndef Q_OS_WIN
    void pkexecDecisions();
#endif
};

void ProcessTest::scripted_data() {
    QTest::addColumn<bool>("installer"); // the installer's run, else the wait for the host
    QTest::addColumn<int>("status");     // OpenStatus or StartStatus
    QTest::addColumn<bool>("withProcess");
    QTest::addColumn<int>("wait");
    QTest::addColumn<bool>("readable");
    QTest::addColumn<qulonglong>("exitCode");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("lines"); // after the wait's or the start's first line

    const int opened = int(OpenStatus::Opened);
    const int started = int(StartStatus::Started);
    const int ended = int(WaitStatus::Ended);
    const int failed = int(WaitStatus::Failed);
    const QString waitFailed =
        QStringLiteral("WaitForSingleObject failed. Result: 4294967295, Windows error: {error}");
    const QString launched = QStringLiteral("Installer process launched successfully.");
    const QString waiting = QStringLiteral("Waiting for installer to finish...");
    const auto row = [](const char* name, bool installer, int status, bool withProcess, int wait,
                        bool readable, qulonglong exitCode, const QStringList& lines) {
        QTest::newRow(name) << installer << status << withProcess << wait << readable << exitCode
                            << false << lines;
    };
    row("host: open refused", false, int(OpenStatus::Failed), false, ended, true, 0,
        {QStringLiteral("OpenProcess failed: {error}")});
    row("host: time-out", false, opened, true, int(WaitStatus::TimedOut), true, 0,
        {QStringLiteral("Timed out waiting for application after 120 seconds.")});
    row("host: wait failed", false, opened, true, failed, true, 0, {waitFailed});
    row("installer: prompt declined", true, int(StartStatus::Cancelled), false, ended, true, 0,
        {QStringLiteral("User cancelled UAC elevation.")});
    row("installer: start refused", true, int(StartStatus::Failed), false, ended, true, 0,
        {QStringLiteral("ShellExecuteExW failed: {error}")});
    row("installer: no handle", true, started, false, ended, true, 0,
        {launched, QStringLiteral("Installer process handle is null.")});
    row("installer: wait failed", true, started, true, failed, true, 0,
        {launched, waiting, waitFailed});
    row("installer: exit code unreadable", true, started, true, ended, false, 0,
        {launched, waiting, QStringLiteral("GetExitCodeProcess failed: {error}")});
    row("installer: crash code, unsigned", true, started, true, ended, true, 3221225477ULL,
        {launched, waiting, QStringLiteral("Installer exit code: 3221225477"),
         QStringLiteral("Installer returned a non-zero exit code.")});
}

void ProcessTest::scripted() {
    QFETCH(bool, installer);
    QFETCH(int, status);
    QFETCH(bool, withProcess);
    QFETCH(int, wait);
    QFETCH(bool, readable);
    QFETCH(qulonglong, exitCode);
    QFETCH(bool, expected);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const std::unique_ptr<InstallerFile> file =
        InstallerFile::open(temp.writeFile(QStringLiteral("installer.exe"), "MZ"));
    QVERIFY(file);
    ScriptedPlatform platform;
    platform.status = status;
    platform.error = kSomeError;
    platform.withProcess = withProcess;
    platform.wait = {static_cast<WaitStatus>(wait), 4294967295UL, kSomeError};
    platform.readable = readable;
    platform.exitCode = static_cast<unsigned long>(exitCode);
    Updater updater;

    QCOMPARE(installer ? runElevatedInstaller(updater, platform, *file)
                       : waitForProcessExit(updater, platform, 42, kApplicationWaitLimitMs),
             expected);
    QCOMPARE(
        temp.logMessages(),
        QStringList{installer
                        ? QStringLiteral("Starting installer with UAC elevation: ") + file->path()
                        : QStringLiteral("Waiting for application process 42 to exit...")} +
            filled(lines));
    // One wait (the host's for the product's limit, the installer's without one), and the process
    // released on every way out.
    const bool hadProcess = withProcess && (status == opened(installer));
    QCOMPARE(platform.record.waits, hadProcess ? 1 : 0);
    QVERIFY(!hadProcess ||
            platform.record.limitMs == (installer ? kWaitForever : kApplicationWaitLimitMs));
    QCOMPARE(platform.record.released, hadProcess);
}

// The platform's own answers. An identifier that no process can have (above Linux's largest
// pid_max; on Windows a multiple of 4, as its identifiers are, that none has) gives the "no longer
// exists" line. Windows refuses an installer that is no program with ERROR_BAD_EXE_FORMAT; a
// POSIX shell runs any text that the kernel refuses as a script, so there it fails as one.
void ProcessTest::platformAnswers() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString notAProgram = temp.writeFile(QStringLiteral("installer.exe"), "not a program\n");
    const std::unique_ptr<InstallerFile> installer = InstallerFile::open(notAProgram);
    QVERIFY(installer);
    const bool windows = QSysInfo::productType() == QLatin1String("windows");
    const long long nobody = windows ? 4294967292LL : 4194305LL;
    Updater updater;

    QVERIFY(waitForProcessExit(updater, systemProcessPlatform(), nobody, 1000));
    QVERIFY(!updater.runInstaller(*installer));

    QStringList expected{
        QStringLiteral("Waiting for application process %1 to exit...").arg(nobody),
        QStringLiteral("Target process no longer exists. Continuing."),
        QStringLiteral("Starting installer with UAC elevation: ") + notAProgram};
    if (windows) // ERROR_BAD_EXE_FORMAT
        expected << QStringLiteral("ShellExecuteExW failed: ") +
                        systemProcessPlatform().errorMessage(193);
    else
        expected << QStringLiteral("Installer process launched successfully.")
                 << QStringLiteral("Waiting for installer to finish...")
                 << QStringLiteral("Installer exit code: 127")
                 << QStringLiteral("Installer returned a non-zero exit code.");
    QCOMPARE(temp.logMessages(), expected);
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

QTEST_GUILESS_MAIN(ProcessTest)
#include "tst_process.moc"
